/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The fast entry's streamed receive: the host sends frames back to back, a
 * window of them ahead of our answers, and goes back to the first one we ask
 * for again, so that neither the line's turn-around nor a USB adapter's
 * latency costs a wait per frame.
 *
 * The wire format is src/transfer/stream_wire.h: COBS frames ended by a zero
 * byte, so a frame is found at the next zero whatever was lost, inserted or
 * paused before it, and no data byte reads as a header or an end.  Frames are
 * decoded as their bytes arrive.  A data frame's first byte is its block; the
 * bytes after it go to their place at once, and the CRC-32 is taken over
 * them a byte at a time, four bytes behind, since the last four decoded are
 * the check, known as such only at the zero.  The check is the CRC-32 of
 * everything stored with this frame's data, so a frame passes only on top of
 * what the host sent, at no cost beyond the transfer's own CRC-32.
 *
 * A frame of the expected block with a good check is stored and answered
 * with ACK.  The first failure after a good frame (a bad check, a damaged or
 * unknown frame, a later block, an END while blocks are missing) is answered
 * with a NAK for the expected block; until that block comes, the frames the
 * host sent before it heard us are dropped: the NAK is out, and a frame
 * damaged then costs no more than a lost one.  A damaged frame and a silent
 * line cost the failure budget; a later block does not, it only shows that
 * the expected one was lost.  A block already stored (the host went back
 * further than needed) is answered with ACK of the last one stored.
 *
 * Leaving, whatever the reason, is answered with LEAVING and a reason letter,
 * after which the host has to be heard out: the receiver keeps reading until
 * the line is quiet or the host says BYE, and answers every END or ABORT
 * again, in case the first answer was lost.  Only then does the entry put
 * back the monitor's rate, so no byte the host sends reaches the monitor at
 * the wrong one.
 *
 * Per byte there is a poll, a COBS step and a CRC-32 step; between frames,
 * three answer bytes, and near the end of the receive area the copy of a
 * frame held in the stream buffer.  The UART's FIFO covers all of it at the
 * fastest rate.
 *
 * This is the second stage: it does not fit the loader's 4,064 bytes, so the
 * host uploads it after the loader, with the same "load", into the RAM that
 * the loader leaves unused (0xA0083000, loader.h), and starts it there for
 * every image of a fast run.  It calls the loader's routines for the UART,
 * the trace, the CRC-32 table and the fast line's negotiation, whose
 * addresses the build takes from the loader's own link. */
#include "crc32.h"
#include "loader.h"

#define BEHIND 128u  /* blocks back from the expected one that count as stored */

/* read_frame's results besides a frame's decoded length. */
#define FRAME_DAMAGED (-1)  /* too long, or a COBS group ran past the zero */
#define FRAME_QUIET   (-2)  /* no byte within the polls allowed */

/* How a frame, or the transfer, ended: the status text and the trace code. */
enum outcome { RX_PACKET, BAD_CHECK, TIMEOUT, ABORTED, DONE, TOO_LARGE };

static const char *const outcome_status[] = {
	[RX_PACKET] = "RX PACKET", [BAD_CHECK] = "BAD CRC", [TIMEOUT] = "TIMEOUT",
	[ABORTED] = "ABORTED", [DONE] = "DONE", [TOO_LARGE] = "TOO LARGE",
};
static const unsigned char outcome_trace[] = "PCTADL";

/* The transfer's state, reset by the entry on every start. */
static unsigned char *destination;
static unsigned char expected_block;
static int failure_budget;
static unsigned int stored_crc;    /* CRC-32 of the bytes stored so far */
static unsigned int stored_count;  /* bytes stored so far */

/* The last frame read: its first byte, its last four (the newest in the high
 * byte: a data frame's check as it came, low byte first), and the CRC-32 of
 * what is stored followed by its data. */
static unsigned char frame_head;
static unsigned int frame_tail;
static unsigned int frame_crc;

static void answer(unsigned char code, unsigned char argument)
{
	uart_putc(code);
	uart_putc(argument & STREAM_ANSWER_BITS);
	uart_putc((argument & STREAM_ANSWER_BITS) ^ STREAM_ANSWER_BITS);
}

/* Reads and decodes bytes up to the next zero.  Data bytes (all but the
 * first and the last four) go to target, at most STREAM_LONG_DATA of them.
 * Returns the decoded length, FRAME_DAMAGED, or FRAME_QUIET when no byte
 * came within quiet polls or *left polls ran out, counted over every poll. */
static int read_frame(unsigned char *target, unsigned int quiet, unsigned int *left)
{
	unsigned int reg = crc32_open(stored_crc);
	unsigned int total = *left;
	unsigned int tail = 0;
	unsigned int length = 0;  /* bytes decoded */
	unsigned int run = 0;     /* bytes left in this COBS group */
	int zero_due = 0;         /* the next code byte stands for a zero first */
	int zero, damaged = 0;
	unsigned int byte, polls, n;

	for (;;) {
		polls = quiet;
		do {
			if (polls-- == 0 || total-- == 0) {
				*left = 0;
				return FRAME_QUIET;
			}
		} while (!(REG8(UART_LSR) & LSR_DATA_READY));
		byte = REG8(UART_DATA);
		if (byte == STREAM_DELIMITER)
			break;
		if (damaged)
			continue;
		if (run != 0) {
			run--;
		} else {
			/* A code byte: the group before ended with a zero unless it
			 * was a full run, and the zero ending the last group is not
			 * sent. */
			zero = zero_due;
			zero_due = byte != STREAM_COBS_FULL_RUN;
			run = byte - 1;
			if (!zero)
				continue;
			byte = 0;
		}
		if (length > STREAM_CHECK_SIZE) {
			n = length - 1 - STREAM_CHECK_SIZE;
			if (n == STREAM_LONG_DATA) {
				damaged = 1;
				continue;
			}
			target[n] = (unsigned char)tail;
			reg = crc32_step(reg, (unsigned char)tail);
		}
		if (length == 0)
			frame_head = (unsigned char)byte;
		else
			tail = tail >> 8 | byte << 24;
		length++;
	}
	*left = total;
	if (damaged || run != 0)
		return FRAME_DAMAGED;
	frame_tail = tail;
	frame_crc = crc32_close(reg);
	return (int)length;
}

/* A control frame's code, or 0 when the frame is none. */
static unsigned char control_code(int length)
{
	if (length != STREAM_CONTROL_CONTENT || ((frame_tail >> 16 ^ frame_tail >> 24) & 0xFFu) != 0xFFu)
		return 0;
	return frame_head;
}

/* LEAVING carries its reason twice (stream_wire.h): no damaged ACK or NAK reads as one. */
static void answer_leaving(unsigned char reason)
{
	uart_putc(STREAM_LEAVING);
	uart_putc(reason);
	uart_putc(reason);
}

/* Answers LEAVING, then hears the host out (see the top of this file). */
static enum outcome leave(enum outcome last)
{
	unsigned char reason = last == DONE ? STREAM_LEFT_DONE :
			       last == ABORTED ? STREAM_LEFT_ABORTED : STREAM_LEFT_GAVE_UP;
	unsigned int left = LEAVE_LIMIT_POLLS;
	unsigned char code;
	int length;

	trace_record(outcome_trace[last]);
	answer_leaving(reason);
	do {
		length = read_frame((unsigned char *)STREAM_BUFFER, LEAVE_QUIET_POLLS, &left);
		code = control_code(length);
		if (code == STREAM_BYE)
			break;
		if (code == STREAM_END || code == STREAM_ABORT)
			answer_leaving(reason);
	} while (length != FRAME_QUIET);
	return last;
}

/* Stores the frame just read at target; 0 when it would reach past DEST_END. */
static int store(const unsigned char *target, unsigned int size)
{
	if ((unsigned int)destination + size > DEST_END)
		return 0;
	if (target != destination)
		for (unsigned int i = 0; i < size; i++)
			destination[i] = target[i];
	destination += size;
	stored_crc = frame_crc;
	stored_count += size;
	expected_block++;
	failure_budget = FAILURE_BUDGET;
	return 1;
}

static enum outcome stream_transfer(void)
{
	int asked = 0;  /* a NAK for the expected block is out */
	unsigned char *target;
	unsigned char code;
	unsigned int left;
	enum outcome last;
	int length;

	uart_putc(NAK);
	for (;;) {
		/* Straight to its place when a long frame fits there. */
		target = (unsigned int)destination + STREAM_LONG_DATA <= DEST_END ?
			 destination : (unsigned char *)STREAM_BUFFER;
		left = ~0u;  /* no limit on a frame: over an hour of polls */
		length = read_frame(target, RX_POLL_LIMIT, &left);
		if (length == 0)
			continue;
		last = BAD_CHECK;
		code = control_code(length);
		if (length == FRAME_QUIET) {
			last = TIMEOUT;
		} else if (code == STREAM_END) {
			if ((frame_tail >> 16 & 0xFFu) == expected_block)
				return leave(DONE);
			answer(NAK, expected_block);
			asked = 1;
			continue;
		} else if (code == STREAM_ABORT) {
			return leave(ABORTED);
		} else if (code == STREAM_BYE) {
			continue;
		} else if (length == STREAM_SHORT_CONTENT || length == STREAM_LONG_CONTENT) {
			if (frame_head != expected_block) {
				if ((unsigned char)(expected_block - frame_head) <= BEHIND) {
					answer(ACK, expected_block - 1);
				} else if (!asked) {
					answer(NAK, expected_block);
					asked = 1;
				}
				continue;
			}
			if (frame_tail == frame_crc) {
				if (!store(target, (unsigned int)length - 1 - STREAM_CHECK_SIZE))
					return leave(TOO_LARGE);
				answer(ACK, frame_head);
				asked = 0;
				trace_record(outcome_trace[RX_PACKET]);
				continue;
			}
		}
		/* A silent line, a bad check, or a frame neither data nor control;
		 * once our NAK is out, only silence costs again. */
		if (last == TIMEOUT || !asked) {
			if (--failure_budget <= 0)
				return leave(last);
			answer(NAK, expected_block);
			asked = 1;
		}
		trace_record(outcome_trace[last]);
	}
}

/* "g -e a0083000": the fast line, the streamed receive, the monitor's rate
 * back, then the verdict as the other entries give it. */
__attribute__((section(".entry.stream"), used))
void stream_entry(void)
{
	enum outcome last;

	trace_reset();
	destination = (unsigned char *)DEST_START;
	expected_block = STREAM_FIRST_BLOCK;
	failure_budget = FAILURE_BUDGET;
	stored_crc = 0;
	stored_count = 0;
	fast_line_open();
	last = stream_transfer();
	fast_line_close();
	if (last == DONE) {
		uart_puts("Download Successful\r\nCRC32 ");
		uart_puthex(stored_crc);
		uart_putc(' ');
		uart_puthex(stored_count);
		uart_puts("\r\n");
	} else {
		uart_puts(outcome_status[last]);
		uart_puts("\r\nDownload Failed!\r\n");
	}
}

/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The fast entry's streamed receive: the host sends packets back to back, a
 * window of them ahead of our answers, and goes back to the first one we ask
 * for again, so that neither the line's turn-around nor a USB adapter's
 * latency costs a wait per packet.
 *
 * A packet: SOH (128 data bytes) or STX (1024), the block number and its
 * complement, the data, then the CRC-32 of every byte stored so far with this
 * packet's data, low byte first (zlib's crc32 continued over the transfer).
 * The check costs nothing beyond the transfer's own CRC-32, and as it covers
 * everything before, a packet only passes on top of what the host sent.
 *
 * Answers are three bytes: ACK or NAK, the block number's low seven bits and
 * their complement (the host reads the line with bit 7 stripped; its window
 * holds far fewer than 128 packets, so seven bits name a packet in it):
 *   ACK b   every packet up to b is stored (cumulative: a lost answer is
 *           covered by the next one)
 *   NAK b   b is the first packet missing: send again from there
 *   ACK e   after EOT, ~EOT or CAN, CAN (e the block that would come next)
 * The line is read through a window of its last three bytes, and a packet is
 * read only after a header of the block expected; everything else (the rest
 * of a refused packet, the packets sent before the host heard our NAK, a
 * stray byte) is dropped, so the stream is found again after bytes were
 * lost or inserted.  A header of a block already stored (the host went back
 * further than needed) is answered with ACK of the last one stored; a header
 * of a later block means the expected one was lost, and is answered with a
 * NAK, once until it comes.  A damaged packet or RX_POLL_LIMIT without a byte
 * costs one unit of the failure budget and is answered with a NAK.  EOT, ~EOT
 * and the CAN, CAN of an abort count only when the line stays quiet after
 * them, and EOT only when nothing is missing.  Every byte is digested as it
 * arrives, and three answer bytes (and the copy of a 128-byte packet) are
 * all there is to do between packets, so the UART's FIFO covers them at the
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

#define CHECK_BYTES 4u                            /* the CRC-32 after the data */
#define END_DONE    (EOT << 8 | (0xFFu ^ EOT))    /* the last two bytes read */
#define END_ABORT   (CAN << 8 | CAN)
#define BEHIND      128u  /* blocks back from the expected one that count as stored */
#define ANSWER_BITS 0x7Fu  /* what the host's 7-bit line keeps of a byte */
#define LONG_SLOT   (LONG_PACKET_SIZE - 1u)       /* wraps a refused long packet into the buffer */

/* How a packet, or the transfer, ended: the status text and the trace code. */
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
static unsigned int pending_crc;   /* the same with the packet just read */

static void answer(unsigned char code, unsigned char block)
{
	uart_putc(code);
	uart_putc(block & ANSWER_BITS);
	uart_putc((block & ANSWER_BITS) ^ ANSWER_BITS);
}

/* Reads a packet's data and check after its header, and judges them.  A
 * 1024-byte packet goes straight to the destination, past everything stored,
 * where a refused one is overwritten by the next; a 128-byte one and a long
 * one that would reach past DEST_END go through the packet buffer. */
static enum outcome stream_packet(unsigned int size)
{
	unsigned char *buffer = (unsigned char *)PACKET_BUFFER;
	unsigned int mask = PACKET_SIZE - 1;
	unsigned int reg = crc32_open(stored_crc);
	unsigned int check = 0;
	int byte;

	if (size == LONG_PACKET_SIZE && (unsigned int)destination + LONG_PACKET_SIZE <= DEST_END) {
		buffer = destination;
		mask = LONG_SLOT;
	}
	for (unsigned int i = 0; i < size + CHECK_BYTES; i++) {
		byte = uart_getc();
		if (byte < 0)
			return TIMEOUT;
		if (i < size) {
			buffer[i & mask] = (unsigned char)byte;
			reg = crc32_step(reg, (unsigned char)byte);
		}
		check = check >> 8 | (unsigned int)byte << 24;
	}
	pending_crc = crc32_close(reg);
	if (check != pending_crc)
		return BAD_CHECK;
	if ((unsigned int)destination + size > DEST_END)
		return TOO_LARGE;
	if (buffer != destination)
		for (unsigned int i = 0; i < size; i++)
			destination[i] = buffer[i];
	destination += size;
	stored_crc = pending_crc;
	stored_count += size;
	expected_block++;
	failure_budget = FAILURE_BUDGET;
	return RX_PACKET;
}

static enum outcome stream_transfer(void)
{
	unsigned int recent = 0;   /* the last bytes read, the newest in the low byte */
	int asked = 0;             /* a NAK asked for the expected block */
	enum outcome last;
	unsigned int mark;
	unsigned char block = 0;
	int byte;

	uart_putc(NAK);
	byte = uart_getc();
	for (;;) {
		if (byte < 0) {
			last = TIMEOUT;
		} else {
			recent = recent << 8 | (unsigned int)byte;
			if ((recent & 0xFFFFu) == END_ABORT || ((recent & 0xFFFFu) == END_DONE && !asked)) {
				byte = uart_getc_polls(QUIET_POLLS);
				if (byte >= 0)
					continue;
				last = (recent & 0xFFu) == CAN ? ABORTED : DONE;
				trace_record(outcome_trace[last]);
				answer(ACK, expected_block);
				return last;
			}
			mark = recent >> 16 & 0xFFu;
			block = (unsigned char)(recent >> 8);
			if ((mark != SOH && mark != STX) || (unsigned char)(block ^ recent) != 0xFFu) {
				byte = uart_getc();
				continue;
			}
			recent = 0;
			if (block != expected_block) {
				if ((unsigned char)(expected_block - block) < BEHIND) {
					answer(ACK, expected_block - 1);
				} else if (!asked) {
					answer(NAK, expected_block);
					asked = 1;
				}
				byte = uart_getc();
				continue;
			}
			last = stream_packet(mark == STX ? LONG_PACKET_SIZE : PACKET_SIZE);
		}
		trace_record(outcome_trace[last]);
		if (last == RX_PACKET) {
			answer(ACK, block);
			asked = 0;
		} else if (last == TOO_LARGE || --failure_budget <= 0) {
			uart_putc(CAN);
			uart_putc(CAN);
			return last;
		} else {
			answer(NAK, expected_block);
			asked = 1;
		}
		byte = uart_getc();
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
	expected_block = 1;
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

/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The streamed line's wire format, as the host's sender, the loader's second
 * stage (firmware/stream_receive.c) and qz4sim's stream watch all read it.
 * Plain C, so that the second stage includes it too.
 *
 * Frames, host to receiver.  Every frame is its content encoded with COBS
 * (consistent overhead byte stuffing: no zero byte inside, at most one byte
 * more per 254) and ended by one zero byte, STREAM_DELIMITER.  The receiver
 * takes the bytes up to a zero as one frame, whatever came before, so a frame
 * is found whatever its block number, whatever the image holds and however
 * the line paused; no data byte can read as a header, an end or an abort.
 * The host sends one zero before its first frame and before an abort, which
 * ends whatever partial frame the receiver holds.  A 1 KiB frame is at most
 * 1,035 bytes on the wire (1,031 before: four more per KiB).
 *
 * Contents, by length:
 *   data (133 or 1,029 bytes): the block number, 128 or 1,024 data bytes,
 *     then the CRC-32 of every data byte stored so far and this frame's,
 *     low byte first (zlib's crc32 continued over the transfer), so a frame
 *     only passes on top of what the host sent;
 *   control (3 bytes): a code, an argument and its complement:
 *     STREAM_END, block       the last frame was block - 1: nothing follows
 *     STREAM_ABORT, 0         the host stops: the receiver leaves
 *     STREAM_BYE, 0           the host heard the receiver's leaving answer:
 *                             it sends nothing more, the receiver may go now
 *   anything else is a damaged frame; an empty one (two zeros) is nothing.
 *
 * Answers, receiver to host, three bytes: a code, a 7-bit argument and its
 * complement in seven bits (the window holds far fewer than 128 frames):
 *   ACK b      every block up to b is stored (cumulative)
 *   NAK b      b is the first block missing: send again from there
 *   LEAVING r  the receiver is leaving for the monitor, for reason r: the
 *              only answer a leaving receiver sends, and the only one a
 *              running receiver never sends.  Its reason comes twice, not
 *              with its complement, so that no single damaged byte (an ACK
 *              or a NAK whose code became EOT) reads as one.
 * A receiver that leaves answers LEAVING, then waits until the line has been
 * quiet for STREAM_LEAVE_QUIET_MS (answering every END or ABORT again, so
 * that a lost answer is answered again), or until BYE, before it goes back
 * to the monitor's rate; a line that never falls quiet ends that wait after
 * STREAM_LEAVE_LIMIT_MS.  The host sends END or ABORT again after
 * STREAM_RESEND_MS without LEAVING, and while a receiver may be leaving it
 * puts a byte on the line only within STREAM_SEND_WINDOW_MS of its previous
 * END or ABORT: the rest of STREAM_LEAVE_QUIET_MS covers an adapter's
 * latency timer each way (16 ms), the frame's time on the line and a busy
 * host's wake-up, so nothing the host sends can arrive after the receiver
 * has gone. */
#ifndef KELVANE_STREAM_WIRE_H
#define KELVANE_STREAM_WIRE_H

enum stream_wire {
	STREAM_DELIMITER = 0x00,      /* ends every frame; never inside one */
	STREAM_COBS_FULL_RUN = 0xFF,  /* COBS code: 254 bytes follow and no zero after them */

	STREAM_SHORT_DATA = 128,
	STREAM_LONG_DATA = 1024,
	STREAM_CHECK_SIZE = 4,        /* the CRC-32 after the data */
	STREAM_SHORT_CONTENT = 1 + STREAM_SHORT_DATA + STREAM_CHECK_SIZE,  /* 133 */
	STREAM_LONG_CONTENT = 1 + STREAM_LONG_DATA + STREAM_CHECK_SIZE,    /* 1,029 */
	STREAM_CONTROL_CONTENT = 3,
	STREAM_FIRST_BLOCK = 1,       /* the first data frame's block; the numbers wrap at 256 */
	/* The longest frame on the wire: a 1 KiB frame's content, one COBS code
	 * byte for each 254 bytes begun, and the delimiter. */
	STREAM_LONG_FRAME_MAX = STREAM_LONG_CONTENT + (STREAM_LONG_CONTENT + 253) / 254 + 1,  /* 1,035 */

	/* Control frames' codes. */
	STREAM_END = 0x04,            /* EOT */
	STREAM_ABORT = 0x18,          /* CAN */
	STREAM_BYE = 0x03,            /* ETX */

	/* Answers. */
	STREAM_ANSWER_SIZE = 3,
	STREAM_ANSWER_BITS = 0x7F,
	STREAM_ACK = 0x06,
	STREAM_NAK = 0x15,
	STREAM_LEAVING = 0x04,        /* EOT */
	STREAM_LEFT_DONE = 'D',       /* END came with nothing missing: everything is stored */
	STREAM_LEFT_GAVE_UP = 'F',    /* the failure budget is spent, or the data would not fit */
	STREAM_LEFT_ABORTED = 'A',    /* the host's ABORT */

	/* Times of the leaving handshake, in milliseconds. */
	STREAM_LEAVE_QUIET_MS = 500,
	STREAM_LEAVE_LIMIT_MS = 3000,
	STREAM_RESEND_MS = 200,
	STREAM_SEND_WINDOW_MS = 300
};

#endif

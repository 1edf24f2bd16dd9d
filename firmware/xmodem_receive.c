/* SPDX-License-Identifier: GPL-2.0-or-later */
/* XMODEM receive with 128-byte packets and an 8-bit checksum.
 *
 * The fast entry also admits 1024-byte packets (STX).  They do not fit the
 * packet buffer, so their data go straight to the destination, past
 * everything counted so far; the packet is counted (destination, CRC, byte
 * count) only when it is accepted, so a refused one is overwritten by the
 * next.  A 1024-byte packet that would reach past DEST_END is read into the
 * packet buffer, over and over, and can only be refused.  128-byte packets
 * are gathered and copied as on the default entry.
 *
 * Each packet ends in one outcome; the table below gives its status text, its
 * answer on the line, and whether the transfer stops.  Every outcome but an
 * accepted packet costs one unit of the failure budget.  What a line does
 * wrong is answered so that the sender's resend gets through:
 *  - a damaged packet, a wrong block and a stray byte are answered with NAK
 *    only once the line is quiet, so that the rest of the damaged packet is
 *    never read as the start of the next one;
 *  - a repeat of the block accepted last (the sender missed our ACK) is
 *    acknowledged again and not stored;
 *  - EOT and the two CANs of an abort count only when the line stays quiet
 *    after them, so that a damaged SOH does not end the transfer.
 * Whenever the receiver gives up on its own (the budget spent, a transfer
 * too large) it answers CAN, CAN, so that the sender stops sending at once:
 * whatever it sent afterwards would reach the monitor's command line.
 *
 * The checksum misses damage that keeps the byte sum (two bytes swapped, two
 * changes that cancel), so every stored packet is also added to a CRC-32,
 * which a successful transfer reports after its verdict as
 * "CRC32 <crc> <bytes stored>" for the host to compare with what it sent.
 * Each data byte is digested as it arrives, while the next one is still on
 * the wire, and the result counts once the packet is accepted: no work is
 * added before an answer or in a burst after it, where a UART without a FIFO
 * could overrun. */
#include "crc32.h"
#include "loader.h"

enum outcome {
	RX_PACKET, REPEATED_BLK, WRONG_BLK, BAD_CHKSUM, TIMEOUT, NOISE, ABORTED, DONE, TOO_LARGE
};

/* Answers besides ACK and NAK: the pair that ends a transfer. */
#define ANSWER_CANCEL CAN

struct outcome_rule {
	const char *status;
	unsigned char answer;
	unsigned char after_quiet;  /* the answer waits for a quiet line */
	unsigned char stops;
	unsigned char trace_code;
};

static const struct outcome_rule outcome_rules[] = {
	[RX_PACKET]    = { "RX PACKET",    ACK,           0, 0, 'P' },
	[REPEATED_BLK] = { "REPEATED BLK", ACK,           0, 0, 'R' },
	[WRONG_BLK]    = { "WRONG BLK",    NAK,           1, 0, 'W' },
	[BAD_CHKSUM]   = { "BAD CHKSUM",   NAK,           1, 0, 'C' },
	[TIMEOUT]      = { "TIMEOUT",      NAK,           0, 0, 'T' },
	[NOISE]        = { "NOISE",        NAK,           1, 0, 'N' },
	[ABORTED]      = { "ABORTED",      ACK,           0, 1, 'A' },
	[DONE]         = { "DONE",         ACK,           0, 1, 'D' },
	[TOO_LARGE]    = { "TOO LARGE",    ANSWER_CANCEL, 0, 1, 'L' },
};

/* The transfer's state; the entry resets it on every start, because the
 * loader is uploaded once and started again for every image. */
static unsigned char *destination;
static unsigned char expected_block;
static int failure_budget;
static unsigned int stored_crc;    /* CRC-32 of the bytes stored so far */
static unsigned int stored_count;  /* bytes stored so far; 0 until a packet is accepted */
static unsigned int pending_crc;   /* the same with the packet just received */
static unsigned int pending_size;  /* data bytes of the packet just received */
static int long_packets_allowed;

/* True when no byte comes within the quiet time. */
static int line_stays_quiet(void)
{
	return uart_getc_polls(QUIET_POLLS) < 0;
}

/* EOT, or the first of two CANs, has been read. */
static enum outcome judge_end(int first)
{
	if (first == CAN && uart_getc_polls(QUIET_POLLS) != CAN)
		return NOISE;   /* a lone CAN, or one followed by something else */
	if (!line_stays_quiet())
		return NOISE;
	return first == CAN ? ABORTED : DONE;
}

/* Reads one packet after its first byte and judges it. */
static enum outcome receive_packet(void)
{
	unsigned char *buffer = (unsigned char *)PACKET_BUFFER;
	unsigned int size = PACKET_SIZE;
	unsigned int mask = PACKET_SIZE - 1;   /* where a byte goes in buffer */
	unsigned char sum = 0;
	unsigned int crc_reg;
	int first, block, byte;

	first = uart_getc();
	if (first < 0)
		return TIMEOUT;
	if (first == EOT || first == CAN)
		return judge_end(first);
	if (first == STX && long_packets_allowed) {
		size = LONG_PACKET_SIZE;
		if ((unsigned int)destination + LONG_PACKET_SIZE <= DEST_END) {
			buffer = destination;
			mask = LONG_PACKET_SIZE - 1;
		}
	} else if (first != SOH) {
		return NOISE;
	}
	pending_size = size;
	block = uart_getc();
	if (block < 0 || uart_getc() < 0)      /* the complement is not checked */
		return TIMEOUT;
	crc_reg = crc32_open(stored_crc);
	for (unsigned int i = 0; i < size; i++) {
		byte = uart_getc();
		if (byte < 0)
			return TIMEOUT;
		buffer[i & mask] = (unsigned char)byte;
		sum += (unsigned char)byte;
		crc_reg = crc32_step(crc_reg, (unsigned char)byte);
	}
	pending_crc = crc32_close(crc_reg);
	byte = uart_getc();
	if (byte < 0)
		return TIMEOUT;
	if (block == expected_block) {
		if (byte != sum)
			return BAD_CHKSUM;
		if ((unsigned int)destination + size > DEST_END)
			return TOO_LARGE;
		return RX_PACKET;
	}
	/* Before any packet was accepted there is nothing to repeat. */
	if (stored_count != 0 && block == (unsigned char)(expected_block - 1))
		return byte == sum ? REPEATED_BLK : BAD_CHKSUM;
	return WRONG_BLK;
}

static void accept_packet(void)
{
	const unsigned char *buffer = (const unsigned char *)PACKET_BUFFER;

	if (pending_size == PACKET_SIZE)        /* a long one is in place already */
		for (unsigned int i = 0; i < PACKET_SIZE; i++)
			destination[i] = buffer[i];
	destination += pending_size;
	expected_block++;
	failure_budget = FAILURE_BUDGET;
	stored_crc = pending_crc;
	stored_count += pending_size;
}

static void report_crc(void)
{
	uart_puts("CRC32 ");
	uart_puthex(stored_crc);
	uart_putc(' ');
	uart_puthex(stored_count);
	uart_puts("\r\n");
}

void xmodem_reset(unsigned char *start, int long_packets)
{
	long_packets_allowed = long_packets;
	destination = start;
	expected_block = 1;
	failure_budget = FAILURE_BUDGET;
	stored_crc = 0;
	stored_count = 0;
}

int xmodem_transfer(void)
{
	const struct outcome_rule *rule;
	enum outcome last;
	unsigned char answer;

	uart_putc(NAK);
	do {
		last = receive_packet();
		rule = &outcome_rules[last];
		trace_record(rule->trace_code);
		if (rule->after_quiet)
			uart_purge();
		if (last == RX_PACKET)
			accept_packet();
		else
			failure_budget--;
		answer = rule->answer;
		if (failure_budget <= 0 && !rule->stops)
			answer = ANSWER_CANCEL;
		if (answer == ANSWER_CANCEL)
			uart_putc(CAN);
		uart_putc(answer);
	} while (answer != ANSWER_CANCEL && !rule->stops);
	return last;
}

void xmodem_report(int last)
{
	if (last == DONE && failure_budget > 0) {
		uart_puts("Download Successful\r\n");
		report_crc();
	} else {
		uart_puts(outcome_rules[last].status);
		uart_puts("\r\n");
		uart_puts("Download Failed!\r\n");
	}
}

void xmodem_receive(void)
{
	xmodem_report(xmodem_transfer());
}

/* XMODEM receive with 128-byte packets and an 8-bit checksum.
 *
 * The fast entry also admits 1024-byte packets (STX).  They do not fit the
 * packet buffer, so their data go straight to the destination, past
 * everything counted so far; the packet is counted (destination, CRC, byte
 * count) only when it is accepted, so a refused one is overwritten by the
 * next.  128-byte packets are gathered and copied as on the default entry.
 *
 * Each packet ends in one outcome; the table below gives its status text, its
 * answer on the line, and whether the transfer stops.  Every outcome but an
 * accepted packet costs one unit of the failure budget.
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

enum outcome { RX_PACKET, WRONG_BLK, TIMEOUT, BAD_CHKSUM, DONE, ABORTED };

struct outcome_rule {
	const char *status;
	unsigned char answer;
	unsigned char stops;
	unsigned char trace_code;
};

static const struct outcome_rule outcome_rules[] = {
	[RX_PACKET]  = { "RX PACKET",  ACK, 0, 'P' },
	[WRONG_BLK]  = { "WRONG BLK",  NAK, 0, 'W' },
	[TIMEOUT]    = { "TIMEOUT",    NAK, 0, 'T' },
	[BAD_CHKSUM] = { "BAD CHKSUM", NAK, 1, 'C' },
	[DONE]       = { "DONE",       ACK, 1, 'D' },
	[ABORTED]    = { "ABORTED",    ACK, 1, 'A' },
};

/* The transfer's state; the entry resets it on every start, because the
 * loader is uploaded once and started again for every image. */
static unsigned char *destination;
static unsigned char expected_block;
static int failure_budget;
static unsigned int stored_crc;    /* CRC-32 of the bytes stored so far */
static unsigned int stored_count;  /* bytes stored so far */
static unsigned int pending_crc;   /* the same with the packet just received */
static unsigned int pending_size;  /* data bytes of the packet just received */
static int long_packets_allowed;

/* Reads one packet after its first byte and judges it. */
static enum outcome receive_packet(void)
{
	unsigned char *buffer = (unsigned char *)PACKET_BUFFER;
	unsigned int size = PACKET_SIZE;
	unsigned char sum = 0;
	unsigned int crc_reg;
	int first, block, byte;

	first = uart_getc();
	if (first < 0)
		return TIMEOUT;
	if (first == EOT)
		return DONE;
	if (first == STX && long_packets_allowed) {
		buffer = destination;
		size = LONG_PACKET_SIZE;
	} else if (first != SOH) {
		return ABORTED;
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
		buffer[i] = (unsigned char)byte;
		sum += (unsigned char)byte;
		crc_reg = crc32_step(crc_reg, (unsigned char)byte);
	}
	pending_crc = crc32_close(crc_reg);
	byte = uart_getc();
	if (byte < 0)
		return TIMEOUT;
	if (block != expected_block)
		return WRONG_BLK;
	if (byte != sum)
		return BAD_CHKSUM;
	return RX_PACKET;
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

	uart_putc(NAK);
	do {
		last = receive_packet();
		rule = &outcome_rules[last];
		trace_record(rule->trace_code);
		if (last == RX_PACKET)
			accept_packet();
		else
			failure_budget--;
		uart_putc(rule->answer);
	} while (!rule->stops && failure_budget > 0);
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

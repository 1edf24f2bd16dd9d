/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The verify entry: the CRC-32 of a range of the flash, as the processor
 * reads it, for the host to compare with the image it sent.
 *
 * The flash is taken to appear whole and uncached from 0xBF000000: the
 * monitor's own code lies at flash offset 0xC00000 and runs from the reset
 * address 0xBFC00000, so a 16 MiB flash ends at the top of that region.  A
 * handheld that maps it otherwise faults on the first read, and the monitor
 * reports the exception instead of the CRC32 line.
 *
 * The exchange, all at the rate the monitor left (the UART is used as found
 * and none of its settings change):
 *   loader  "VERIFY\r\n"
 *   host    'V', the offset and the length (four bytes each, low byte first)
 *           and zlib's CRC-32 of those eight bytes, low byte first
 *   loader  ACK, then "CRC32 <crc> <length>\r\n" once the range is digested;
 *           or NAK for a request that timed out, does not check, or reaches
 *           past the flash's 16 MiB, after which the host may send it again
 * After three refused requests it says "NO REQUEST\r\n" and gives up.  Before
 * a NAK the loader drops what is left of the refused request, so that a
 * resend starts on a quiet line and nothing of it reaches the monitor.  The
 * digest entry (block_digest.c) takes its request the same way, with its own
 * tag. */
#include "crc32.h"
#include "loader.h"

#define FLASH_WINDOW      0xBF000000u  /* flash offset 0, uncached */
#define FLASH_WINDOW_SIZE 0x01000000u  /* up to the end of the address space's boot region */

#define REQUEST_TAG    'V'
#define REQUEST_FIELDS 12u  /* offset, length, check: four bytes each */
#define REQUEST_TRIES  3

/* Polls of a quiet line after which a refused request is taken as over
 * (about 20 ms: many byte times even at 9600 bit/s). */
#define QUIET_POLLS    20000u
/* Bytes dropped at most while waiting for that quiet: the wait has a bound
 * even on a line that never stops. */
#define DRAIN_LIMIT    4096u

static unsigned int little_endian(const unsigned char *bytes)
{
	return bytes[0] | (unsigned int)bytes[1] << 8 | (unsigned int)bytes[2] << 16 |
	       (unsigned int)bytes[3] << 24;
}

/* Drops received bytes until the line has been quiet for QUIET_POLLS polls. */
static void drain(void)
{
	unsigned int dropped = 0;

	for (unsigned int polls = QUIET_POLLS; polls != 0 && dropped < DRAIN_LIMIT; polls--) {
		if (REG8(UART_LSR) & LSR_DATA_READY) {
			(void)REG8(UART_DATA);
			dropped++;
			polls = QUIET_POLLS;
		}
	}
}

/* A request that reads right and lies inside the flash, or 0. */
static int read_request(int tag, unsigned int *offset, unsigned int *length)
{
	unsigned char fields[REQUEST_FIELDS];
	int byte;

	if (uart_getc() != tag)
		return 0;
	for (unsigned int i = 0; i < REQUEST_FIELDS; i++) {
		byte = uart_getc();
		if (byte < 0)
			return 0;
		fields[i] = (unsigned char)byte;
	}
	if (crc32_update(0, fields, 8) != little_endian(fields + 8))
		return 0;
	*offset = little_endian(fields);
	*length = little_endian(fields + 4);
	return *length <= FLASH_WINDOW_SIZE && *offset <= FLASH_WINDOW_SIZE - *length;
}

static void report(unsigned int crc, unsigned int length)
{
	uart_puts("CRC32 ");
	uart_puthex(crc);
	uart_putc(' ');
	uart_puthex(length);
	uart_puts("\r\n");
}

int flash_request_take(int tag, unsigned int *offset, unsigned int *length)
{
	for (int tries = REQUEST_TRIES; tries > 0; tries--) {
		if (read_request(tag, offset, length)) {
			uart_putc(ACK);
			return 1;
		}
		drain();
		uart_putc(NAK);
	}
	uart_puts("NO REQUEST\r\n");
	return 0;
}

/* Kept out of line: the entry's pinned room holds only the call. */
__attribute__((noinline))
static void flash_crc_serve(void)
{
	unsigned int offset, length;

	uart_puts("VERIFY\r\n");
	if (flash_request_take(REQUEST_TAG, &offset, &length))
		report(crc32_update(0, (const unsigned char *)(FLASH_WINDOW + offset), length), length);
}

/* "g -e a0080240": pinned by the linker script in the room before the
 * default entry; the work is done elsewhere in the image. */
__attribute__((section(".entry.verify"), used))
void loader_verify_entry(void)
{
	flash_crc_serve();
}

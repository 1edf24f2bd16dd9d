/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The digest entry: one CRC-64 for each flash block of a range, so that the
 * host sends and programs only the blocks that differ from its image (-u).
 *
 * The digest is CRC-64/XZ (the ECMA-182 polynomial, reflected, register
 * preset to all ones and inverted at the end; the check value of "123456789"
 * is 995dc9bbdf1939fa).  A CRC-32 is not enough: one changed block in 2^32
 * would keep its value.  A block that differs from the image keeps the
 * CRC-64 of the image's block with a chance of 2^-64 for a change that looks
 * random to the polynomial, and never when the change lies within 64
 * consecutive bits or flips an odd number of bits (the polynomial has x + 1
 * as a factor).  It takes about twenty instructions a byte from a table of
 * sixteen entries, which keeps the image small and the pass short.
 *
 * The exchange, at the rate the monitor left (flash_crc.c takes the request):
 *   loader  "DIGEST\r\n"
 *   host    'D', the offset and the length (four bytes each, low byte first)
 *           and zlib's CRC-32 of those eight bytes, low byte first
 *   loader  ACK, then for each flash block the range touches, in order,
 *           "BLOCK <flash offset> <crc-64>\r\n" (8 and 16 lower-case digits)
 *           as soon as that block is digested; a block the range covers only
 *           in part is digested over the range's bytes only.
 * The flash is read where the verify entry reads it, a byte at a time. */
#include "loader.h"

#define FLASH_WINDOW  0xBF000000u  /* flash offset 0, uncached */
#define DIGEST_BLOCK  0x20000u     /* the unit the monitor's flash command erases */
#define REQUEST_TAG   'D'

/* Entry n: the register's change, low and high word, after shifting out the
 * four bits n. */
static const unsigned int crc64_nibble[16][2] = {
	{0x00000000u, 0x00000000u}, {0x51336649u, 0x7d9ba138u},
	{0xa266cc92u, 0xfb374270u}, {0xf355aadbu, 0x86ace348u},
	{0xebc387a1u, 0x64b62bcau}, {0xbaf0e1e8u, 0x192d8af2u},
	{0x49a54b33u, 0x9f8169bau}, {0x18962d7au, 0xe21ac882u},
	{0xd7870f42u, 0xc96c5795u}, {0x86b4690bu, 0xb4f7f6adu},
	{0x75e1c3d0u, 0x325b15e5u}, {0x24d2a599u, 0x4fc0b4ddu},
	{0x3c4488e3u, 0xadda7c5fu}, {0x6d77eeaau, 0xd041dd67u},
	{0x9e224471u, 0x56ed3e2fu}, {0xcf112238u, 0x2b769f17u},
};

/* The register is kept as two words, lo and hi: MIPS32 has no 64-bit
 * shifts.  Each byte takes two nibble steps. */
static void report_block(unsigned int offset, const unsigned char *at, unsigned int length)
{
	unsigned int lo = ~0u, hi = ~0u;
	const unsigned int *entry;

	for (const unsigned char *end = at + length; at != end; at++) {
		lo ^= *at;
		for (int step = 0; step < 2; step++) {
			entry = crc64_nibble[lo & 0xFu];
			lo = ((lo >> 4) | (hi << 28)) ^ entry[0];
			hi = (hi >> 4) ^ entry[1];
		}
	}
	uart_puts("BLOCK ");
	uart_puthex(offset);
	uart_putc(' ');
	uart_puthex(~hi);
	uart_puthex(~lo);
	uart_puts("\r\n");
}

/* Kept out of line: the entry's pinned room holds only the call. */
__attribute__((noinline))
static void block_digest_serve(void)
{
	unsigned int offset, length, size;

	uart_puts("DIGEST\r\n");
	if (!flash_request_take(REQUEST_TAG, &offset, &length))
		return;
	for (; length != 0; offset += size, length -= size) {
		size = DIGEST_BLOCK - (offset & (DIGEST_BLOCK - 1u));
		if (size > length)
			size = length;
		report_block(offset, (const unsigned char *)(FLASH_WINDOW + offset), size);
	}
}

/* "g -e a0080260": pinned by the linker script between the verify entry and
 * the default entry; the work is done elsewhere in the image. */
__attribute__((section(".entry.digest"), used))
void loader_digest_entry(void)
{
	block_digest_serve();
}

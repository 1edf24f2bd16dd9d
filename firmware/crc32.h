// SPDX-License-Identifier: GPL-2.0-or-later
/* CRC-32 of byte streams, the same function as zlib's crc32(): the IEEE 802.3
 * polynomial, reflected (0xEDB88320), the register preset to all ones and
 * inverted at the end.  Because the value is zlib's, the host checks what the
 * loader received with the library it already links, and a stream can be
 * digested in pieces: start from 0 and pass each piece with the value so far.
 *
 * Data that arrive a byte at a time are best digested on the register itself,
 * one inline step per byte while the next byte is on the wire:
 * crc32_open(value so far), crc32_step for each byte, crc32_close. */
#ifndef KELVANE_CRC32_H
#define KELVANE_CRC32_H

/* Entry n: the register's change after shifting out the four bits n. */
extern const unsigned int crc32_nibble[16];

/* The CRC of everything digested before plus the length bytes at data. */
unsigned int crc32_update(unsigned int crc, const unsigned char *data, unsigned int length);

/* The register that continues a CRC whose value so far is crc. */
static inline unsigned int crc32_open(unsigned int crc)
{
	return ~crc;
}

/* The register after one more byte, taken a nibble at a time. */
static inline unsigned int crc32_step(unsigned int reg, unsigned char byte)
{
	reg ^= byte;
	reg = (reg >> 4) ^ crc32_nibble[reg & 0xFu];
	return (reg >> 4) ^ crc32_nibble[reg & 0xFu];
}

/* The CRC value the register stands for. */
static inline unsigned int crc32_close(unsigned int reg)
{
	return ~reg;
}

#endif

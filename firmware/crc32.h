/* CRC-32 of byte streams, the same function as zlib's crc32(): the IEEE 802.3
 * polynomial, reflected (0xEDB88320), the register preset to all ones and
 * inverted at the end.  Because the value is zlib's, the host checks what the
 * loader received with the library it already links, and a stream can be
 * digested in pieces: start from 0 and pass each piece with the value so far. */
#ifndef KELVANE_CRC32_H
#define KELVANE_CRC32_H

/* The CRC of everything digested before plus the length bytes at data. */
unsigned int crc32_update(unsigned int crc, const unsigned char *data, unsigned int length);

#endif

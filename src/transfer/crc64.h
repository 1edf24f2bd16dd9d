// SPDX-License-Identifier: GPL-2.0-or-later
// CRC-64/XZ: the digest our receiver's digest entry reports for each flash block (-u).
//
// The ECMA-182 polynomial, reflected (0xC96C5795D7870F42), the register preset
// to all ones and inverted at the end; "123456789" gives 0x995DC9BBDF1939FA.
// A block that differs from the image keeps the image block's value with a
// chance of 2^-64 for a change that looks random to the polynomial, and never
// for a change within 64 consecutive bits or of an odd number of bits. A
// CRC-32 would let one changed block in 2^32 pass for unchanged. Like zlib's
// crc32, a stream can be digested in pieces: start from 0 and pass each piece
// with the value so far.
#pragma once

#include <cstddef>
#include <cstdint>

uint64_t crc64_update(uint64_t crc, const unsigned char* data, size_t length);

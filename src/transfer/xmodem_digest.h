// SPDX-License-Identifier: GPL-2.0-or-later
// What an XMODEM sender (xmodem.h, stream_send.h) reports of a transfer, for
// the caller to compare with what the receiver says it stored.
#pragma once

#include <cstdint>

// What the receiver acknowledged: the CRC-32 of the data of every packet and their byte count.
struct XmodemDigest {
    uint32_t crc = 0;  // zlib's crc32, from its initial value 0
    int64_t bytes = 0;
    uint32_t image_crc = 0;  // the same over the file's own bytes, without the filler after them
};

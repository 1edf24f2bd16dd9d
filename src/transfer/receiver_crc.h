// SPDX-License-Identifier: GPL-2.0-or-later
// Our receiver's report of what it stored.
//
// After "Download Successful" the receiver prints "CRC32 <crc> <count>" on a
// line of its own, each number as eight lower-case hexadecimal digits: zlib's
// CRC-32 of every byte it stored at 0x80090000 and their number. The host
// looks for that line in text drained from the port (CR removed, lines ended
// by LF). A line that begins "CRC32" but does not read exactly so was damaged
// on its way back and proves nothing.
#pragma once

#include <cstdint>
#include <string_view>

constexpr char RECEIVER_CRC_TAG[] = "CRC32";

struct ReceiverCrc {
    enum class Found { none, unreadable, read };
    Found found = Found::none;
    uint32_t crc = 0;    // valid when read
    uint32_t count = 0;  // bytes stored; valid when read
};

// The first line of text that begins with "CRC32", read.
ReceiverCrc find_receiver_crc(std::string_view text);

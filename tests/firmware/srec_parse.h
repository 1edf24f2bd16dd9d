// SPDX-License-Identifier: GPL-2.0-or-later
// Reads S-record lines back into bytes for the loader's tests.
//
// A line is accepted only in the exact shape the loader's table uses: "S",
// a type digit, upper-case hex digits in pairs, a count that matches the
// line's length, and a checksum equal to the ones' complement of the low byte
// of the sum of count, address and data. Everything else is refused, so a test
// that parses every line also proves every checksum.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct SrecRecord {
    char type = 0;              // '0' to '9'
    std::uint32_t address = 0;  // 2 bytes for S0, 4 for S3 and S7
    std::vector<std::uint8_t> data;
};

std::optional<SrecRecord> srec_parse(const std::string& line);

// The loader image that the table's S3 records describe, rising without gaps.
struct SrecImage {
    std::uint32_t base = 0;
    std::vector<std::uint8_t> bytes;
};

// The image held by the committed loader_srec table; an empty image when a
// line is malformed or the records leave a gap.
SrecImage loader_table_image();
// The same for the committed second stage (stream_srec).
SrecImage stream_stage_image();

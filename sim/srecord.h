// SPDX-License-Identifier: GPL-2.0-or-later
// Motorola S-records as the monitor's "load" command takes them.
//
// The host sends one record at a time and ends it with ETX; the monitor checks
// the record's shape (type, even count of hex digits, count byte matching the
// length) and its checksum before it stores anything, and answers NAK when one
// of them is wrong. Parsing is a pure function so that every shape can be
// tested from a table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class SRecordKind { header, data, count, end };

struct SRecord {
    char type = '0';  // the digit after 'S'
    SRecordKind kind = SRecordKind::header;
    uint32_t address = 0;  // load address (data) or start address (end)
    std::vector<uint8_t> data;
};

// Bytes of address that follow the count in a record of `type` (the digit
// after 'S'); 0 for a type the monitor does not take. Defined here, so that
// the loader's tests and the fuzz target read records by the same table
// without linking the simulator.
constexpr int srecord_address_bytes(char type) {
    switch (type) {
        case '0':
        case '1':
        case '5':
        case '9':
            return 2;
        case '2':
        case '6':
        case '8':
            return 3;
        case '3':
        case '7':
            return 4;
        default:
            return 0;
    }
}

// Parses one record without its terminator. Leading and trailing CR, LF and
// spaces are ignored. On failure returns false and says why in `why`.
bool srecord_parse(std::string_view text, SRecord& record, std::string& why);

// Ones' complement of the low byte of the sum of count, address and data bytes.
uint8_t srecord_checksum(const std::vector<uint8_t>& count_address_data);

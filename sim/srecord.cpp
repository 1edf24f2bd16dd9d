// SPDX-License-Identifier: GPL-2.0-or-later
#include "srecord.h"

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

SRecordKind kind_of(char type) {
    switch (type) {
        case '0':
            return SRecordKind::header;
        case '1':
        case '2':
        case '3':
            return SRecordKind::data;
        case '5':
        case '6':
            return SRecordKind::count;
        default:
            return SRecordKind::end;
    }
}

bool is_blank(char c) { return c == '\r' || c == '\n' || c == ' '; }

}  // namespace

uint8_t srecord_checksum(const std::vector<uint8_t>& count_address_data) {
    unsigned sum = 0;
    for (uint8_t b : count_address_data) sum += b;
    return static_cast<uint8_t>(~sum & 0xFF);
}

bool srecord_parse(std::string_view text, SRecord& record, std::string& why) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);

    if (text.size() < 2 || text[0] != 'S') {
        why = "not an S-record";
        return false;
    }
    const int alen = srecord_address_bytes(text[1]);
    if (alen == 0) {
        why = "unknown record type";
        return false;
    }
    std::string_view hex = text.substr(2);
    if (hex.size() % 2 != 0) {
        why = "odd number of hex digits";
        return false;
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = hex_value(hex[i]);
        const int lo = hex_value(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            why = "not a hex digit";
            return false;
        }
        bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    // count byte, address, checksum at least
    if (bytes.size() < static_cast<size_t>(alen) + 2) {
        why = "record too short";
        return false;
    }
    if (bytes[0] != bytes.size() - 1) {
        why = "count does not match the length";
        return false;
    }
    const uint8_t expected = srecord_checksum({bytes.begin(), bytes.end() - 1});
    if (bytes.back() != expected) {
        why = "bad checksum";
        return false;
    }

    record.type = text[1];
    record.kind = kind_of(text[1]);
    record.address = 0;
    for (int i = 0; i < alen; ++i) record.address = (record.address << 8) | bytes[1 + i];
    record.data.assign(bytes.begin() + 1 + alen, bytes.end() - 1);
    return true;
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "firmware/srec_parse.h"

#include "transfer/loader_upload.h"

// The simulator's table of address widths: its header alone, nothing of it is linked.
#include "../../sim/srecord.h"

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;  // lower case is refused on purpose
}

}  // namespace

std::optional<SrecRecord> srec_parse(const std::string& line) {
    if (line.size() < 4 || line[0] != 'S' || line.size() % 2 != 0) return std::nullopt;
    SrecRecord record;
    record.type = line[1];
    const int addr_bytes = srecord_address_bytes(record.type);
    if (addr_bytes == 0) return std::nullopt;
    std::vector<std::uint8_t> bytes;  // count, address, data, checksum
    for (std::size_t i = 2; i < line.size(); i += 2) {
        int high = hex_value(line[i]);
        int low = hex_value(line[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    if (bytes[0] + 1u != bytes.size() || bytes.size() < 2u + addr_bytes) return std::nullopt;
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); i++) sum += bytes[i];
    if (static_cast<std::uint8_t>(~sum) != bytes.back()) return std::nullopt;
    for (int i = 0; i < addr_bytes; i++) record.address = record.address << 8 | bytes[1 + i];
    record.data.assign(bytes.begin() + 1 + addr_bytes, bytes.end() - 1);
    return record;
}

namespace {

SrecImage table_image(const char (*lines)[LOADER_SREC_SLOT], int count) {
    SrecImage image;
    bool first = true;
    for (int i = 0; i < count; i++) {
        std::optional<SrecRecord> record = srec_parse(lines[i]);
        if (!record) return {};
        if (record->type != '3') continue;
        if (first)
            image.base = record->address;
        else if (record->address != image.base + image.bytes.size())
            return {};
        first = false;
        image.bytes.insert(image.bytes.end(), record->data.begin(), record->data.end());
    }
    return image;
}

}  // namespace

SrecImage loader_table_image() { return table_image(loader_srec, loader_srec_count); }

SrecImage stream_stage_image() { return table_image(stream_srec, stream_srec_count); }

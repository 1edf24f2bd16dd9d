// SPDX-License-Identifier: GPL-2.0-or-later
// qz4sim's S-record parser: any line a host can send to the monitor's "load".
//
// Beyond the sanitizers: a record that parses encodes back (count, address,
// data, checksum, upper-case hex) into a record that parses to the same
// fields, its count byte matches its length, and a refusal always says why.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "srecord.h"

namespace {

void check(bool holds) {
    if (!holds) std::abort();
}

std::string encode(const SRecord& record) {
    const int length = srecord_address_bytes(record.type);
    std::vector<uint8_t> bytes;
    bytes.push_back(static_cast<uint8_t>(length + record.data.size() + 1));
    for (int i = length - 1; i >= 0; --i) bytes.push_back(static_cast<uint8_t>(record.address >> (8 * i)));
    bytes.insert(bytes.end(), record.data.begin(), record.data.end());
    bytes.push_back(srecord_checksum(bytes));
    std::string text = std::string("S") + record.type;
    char hex[3];
    for (const uint8_t b : bytes) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        text += hex;
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    SRecord record;
    std::string why;
    if (!srecord_parse(text, record, why)) {
        check(!why.empty());
        return 0;
    }
    check(record.data.size() + static_cast<size_t>(srecord_address_bytes(record.type)) + 1 <= 255);
    SRecord again;
    std::string why_again;
    check(srecord_parse(encode(record), again, why_again));
    check(again.type == record.type && again.kind == record.kind && again.address == record.address &&
          again.data == record.data);
    return 0;
}

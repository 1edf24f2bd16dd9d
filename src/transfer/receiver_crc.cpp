// SPDX-License-Identifier: GPL-2.0-or-later
#include "transfer/receiver_crc.h"

#include <optional>

namespace {

constexpr size_t HEX_DIGITS = 8;
// "CRC32 " + 8 digits + " " + 8 digits
constexpr size_t LINE_LENGTH = sizeof RECEIVER_CRC_TAG + HEX_DIGITS + 1 + HEX_DIGITS;

// Exactly eight lower-case hexadecimal digits: the receiver prints nothing else,
// so an upper-case digit is as much damage as any other character.
std::optional<uint32_t> read_hex(std::string_view digits) {
    uint32_t value = 0;
    for (char c : digits) {
        uint32_t nibble;
        if (c >= '0' && c <= '9')
            nibble = static_cast<uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            nibble = static_cast<uint32_t>(c - 'a' + 10);
        else
            return std::nullopt;
        value = value << 4 | nibble;
    }
    return value;
}

ReceiverCrc read_line(std::string_view line) {
    ReceiverCrc report;
    report.found = ReceiverCrc::Found::unreadable;
    const size_t tag = sizeof RECEIVER_CRC_TAG - 1;
    if (line.size() != LINE_LENGTH || line[tag] != ' ' || line[tag + 1 + HEX_DIGITS] != ' ') return report;
    const auto crc = read_hex(line.substr(tag + 1, HEX_DIGITS));
    const auto count = read_hex(line.substr(tag + 2 + HEX_DIGITS, HEX_DIGITS));
    if (!crc || !count) return report;
    report = {ReceiverCrc::Found::read, *crc, *count};
    return report;
}

}  // namespace

ReceiverCrc find_receiver_crc(std::string_view text) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        if (line.starts_with(RECEIVER_CRC_TAG)) return read_line(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return {};
}

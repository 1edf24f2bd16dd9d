// SPDX-License-Identifier: GPL-2.0-or-later
#include "transfer/receiver_crc.h"

#include <optional>

#include "serial/drained_lines.h"
#include "transfer/hex_text.h"

namespace {

constexpr size_t HEX_DIGITS = 8;
// "CRC32 " + 8 digits + " " + 8 digits
constexpr size_t LINE_LENGTH = sizeof RECEIVER_CRC_TAG + HEX_DIGITS + 1 + HEX_DIGITS;

// Exactly eight lower-case hexadecimal digits: the receiver prints nothing else,
// so an upper-case digit is as much damage as any other character.
std::optional<uint32_t> read_hex(std::string_view digits) {
    if (digits.size() != HEX_DIGITS) return std::nullopt;
    return hex_value(digits, HexCase::lower);
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
    ReceiverCrc report;
    for_each_drained_line(text, DRAINED_LINE_END, [&](std::string_view line) {
        if (!line.starts_with(RECEIVER_CRC_TAG)) return false;
        report = read_line(line);
        return true;
    });
    return report;
}

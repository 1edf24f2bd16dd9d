// SPDX-License-Identifier: GPL-2.0-or-later
#include "transfer/hex_text.h"

namespace {

constexpr std::size_t MAX_DIGITS = 8;  // a 32-bit value

std::optional<uint32_t> digit_value(char c, HexCase allowed) {
    if (c >= '0' && c <= '9') return static_cast<uint32_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<uint32_t>(c - 'a' + 10);
    if (allowed == HexCase::any && c >= 'A' && c <= 'F') return static_cast<uint32_t>(c - 'A' + 10);
    return std::nullopt;
}

}  // namespace

std::optional<uint32_t> hex_value(std::string_view digits, HexCase allowed) {
    if (digits.empty() || digits.size() > MAX_DIGITS) return std::nullopt;
    uint32_t value = 0;
    for (const char c : digits) {
        const std::optional<uint32_t> nibble = digit_value(c, allowed);
        if (!nibble) return std::nullopt;
        value = value << 4 | *nibble;
    }
    return value;
}

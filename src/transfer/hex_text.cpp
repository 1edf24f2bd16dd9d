// SPDX-License-Identifier: GPL-2.0-or-later
#include "transfer/hex_text.h"

#include "core/text.h"

namespace {

constexpr std::size_t MAX_DIGITS = 8;  // a 32-bit value

std::optional<uint32_t> digit_value(char c, HexCase allowed) {
    if (allowed == HexCase::lower && c >= 'A' && c <= 'F') return std::nullopt;
    const int value = hex_digit_value(c);
    if (value < 0) return std::nullopt;
    return static_cast<uint32_t>(value);
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

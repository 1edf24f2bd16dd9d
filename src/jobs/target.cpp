// SPDX-License-Identifier: GPL-2.0-or-later
#include "jobs/target.h"

#include <cstring>

#include "core/fatal.h"
#include "core/text.h"

namespace {

constexpr uint64_t HEX_BASE = 16;

bool has_hex_prefix(const char* text) { return std::strncmp(text, HEX_PREFIX, sizeof HEX_PREFIX - 1) == 0; }

}  // namespace

int64_t target_to_offset(const char* target) {
    for (const TargetKeyword& keyword : TARGET_KEYWORDS)
        if (std::strncmp(target, keyword.name, std::strlen(keyword.name)) == 0) return keyword.offset;
    if (has_hex_prefix(target)) target += sizeof HEX_PREFIX - 1;
    return parse_offset(target);
}

std::optional<int64_t> offset_value(const char* text) {
    const char* digit = text;
    if (has_hex_prefix(digit)) digit += sizeof HEX_PREFIX - 1;
    if (*digit == '\0') return std::nullopt;  // an unset variable must not mean the kernel's place
    uint64_t value = 0;
    for (; *digit != '\0'; ++digit) {
        const int nibble = hex_digit_value(*digit);
        if (nibble < 0) return std::nullopt;
        // Leading zeros never grow the value; anything at the limit stops at once.
        value = value * HEX_BASE + static_cast<uint64_t>(nibble);
        if (value >= OFFSET_LIMIT) return std::nullopt;
    }
    return static_cast<int64_t>(value);
}

int64_t parse_offset(const char* text) {
    const std::optional<int64_t> value = offset_value(text);
    if (!value) refuse_exit("Error:  invalid offset '%s'", text);
    return *value;
}

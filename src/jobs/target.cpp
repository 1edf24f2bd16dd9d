#include "jobs/target.h"

#include <cstring>

#include "core/fatal.h"

namespace {

// "*" (0x2A) up to "?" (0x3F) count by their low four bits.
constexpr char LOW_NIBBLE_FIRST = '*';
constexpr char LOW_NIBBLE_LAST = '?';
constexpr int LETTER_DIGIT_BASE = 10;  // "a"/"A" is ten
constexpr int HEX_BASE = 16;

bool has_hex_prefix(const char* text) {
    return std::strncmp(text, HEX_PREFIX, sizeof HEX_PREFIX - 1) == 0;
}

}  // namespace

int offset_digit_value(char c) {
    if (c >= LOW_NIBBLE_FIRST && c <= LOW_NIBBLE_LAST) return c & 0x0F;
    if (c >= 'a' && c <= 'f') return c - 'a' + LETTER_DIGIT_BASE;
    if (c >= 'A' && c <= 'F') return c - 'A' + LETTER_DIGIT_BASE;
    return -1;
}

int64_t target_to_offset(const char* target) {
    for (const TargetKeyword& keyword : TARGET_KEYWORDS)
        if (std::strncmp(target, keyword.name, std::strlen(keyword.name)) == 0) return keyword.offset;
    if (has_hex_prefix(target)) target += sizeof HEX_PREFIX - 1;
    return parse_offset(target);
}

int64_t parse_offset(const char* text) {
    const char* digit = text;
    if (has_hex_prefix(digit)) digit += sizeof HEX_PREFIX - 1;
    // Ten digits are at most 40 bits: the value is exact and never negative.
    uint64_t value = 0;
    for (int count = 0; count < OFFSET_DIGITS_MAX && *digit != '\0'; ++count, ++digit) {
        const int nibble = offset_digit_value(*digit);
        if (nibble < 0) error_exit("Error:  invalid offset '%s'", text);
        value = value * HEX_BASE + static_cast<uint64_t>(nibble);
    }
    return static_cast<int64_t>(value);
}

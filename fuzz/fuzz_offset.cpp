// SPDX-License-Identifier: GPL-2.0-or-later
// The offset parser: any target text a command line can carry.
//
// Against an independent reading of the same rule (std::from_chars in base
// 16 over the text after one "0x"): a value exactly when every character is a
// hexadecimal digit, there is at least one, and the number is below the
// limit; then the same value.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "core/text.h"
#include "jobs/target.h"

namespace {

bool all_hex_digits(std::string_view text) {
    for (const char c : text)
        if (hex_digit_value(c) < 0) return false;
    return !text.empty();
}

// The rule read another way: digits only, then their value below the limit.
std::optional<int64_t> expected_offset(std::string_view text) {
    if (text.starts_with(HEX_PREFIX)) text.remove_prefix(sizeof HEX_PREFIX - 1);
    if (!all_hex_digits(text)) return std::nullopt;
    while (text.size() > 1 && text.front() == '0') text.remove_prefix(1);  // from_chars takes them too; fewer is faster
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (error == std::errc::result_out_of_range || value >= OFFSET_LIMIT) return std::nullopt;
    if (error != std::errc{} || end != text.data() + text.size()) std::abort();  // all digits: must parse whole
    return static_cast<int64_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A command-line word holds no NUL: the text ends at the first one.
    const std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    const std::optional<int64_t> got = offset_value(text.c_str());
    if (got != expected_offset(text)) std::abort();
    if (got && (*got < 0 || static_cast<uint64_t>(*got) >= OFFSET_LIMIT)) std::abort();
    return 0;
}

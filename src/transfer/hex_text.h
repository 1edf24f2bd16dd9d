// SPDX-License-Identifier: GPL-2.0-or-later
// Hexadecimal numbers in what our receiver prints.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

enum class HexCase {
    lower,  // the receiver's reports: any other character is damage
    any,    // the fast entry's offer
};

// The value of digits, every one a hexadecimal digit of the case allowed, or
// none; at most eight digits.
std::optional<uint32_t> hex_value(std::string_view digits, HexCase allowed);

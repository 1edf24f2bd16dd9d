// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(HexDigitValue, TakesOnlyHexadecimalDigits) {
    const std::string digits = "0123456789abcdefABCDEF";
    const int expected[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 10, 11, 12, 13, 14, 15};
    for (size_t i = 0; i < digits.size(); ++i) EXPECT_EQ(hex_digit_value(digits[i]), expected[i]) << digits[i];
    for (char c : std::string("*+,-./:;<=>?)@gGxX zZ\t")) EXPECT_EQ(hex_digit_value(c), -1) << c;
}

TEST(IsPrintable, IsTheAsciiRangeFromSpaceToTilde) {
    for (int byte = 0; byte < 256; ++byte)
        EXPECT_EQ(is_printable(static_cast<unsigned char>(byte)), byte >= 0x20 && byte <= 0x7E) << byte;
    EXPECT_FALSE(is_printable('\x80'));  // a negative char
}

}  // namespace

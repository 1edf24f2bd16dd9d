// SPDX-License-Identifier: GPL-2.0-or-later
#include "jobs/target.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

struct OffsetCase {
    const char* target;
    int64_t offset;
};

// Keywords match as case-sensitive prefixes; anything else is a hex offset.
const OffsetCase OFFSET_CASES[] = {
    {"kernel", 0},
    {"kernel-2.4", 0},
    {"kernel2", 0},
    {"pmon", 0xC00000},
    {"romdisk", 0x200000},
    {"romdisk.img", 0x200000},
    {"rootdisk", 0x200000},
    {"cramfs", 0x100000},
    {"0", 0},
    {"0x0", 0},
    {"0x0x1000", 0x1000},
    {"200000", 0x200000},
    {"0xabcdef", 0xABCDEF},
    {"0xABCDEF", 0xABCDEF},
    {"0x00000000200000", 0x200000},  // leading zeros, however many, never cut the number
    {"0x0000000000000000000000000000000000001", 1},
    {"0x7fffffff", 0x7FFFFFFF},
    {"0x007fffffff", 0x7FFFFFFF},
};

TEST(TargetToOffset, ResolvesKeywordsAndHexOffsets) {
    for (const OffsetCase& c : OFFSET_CASES) {
        EXPECT_EQ(target_to_offset(c.target), c.offset) << "target '" << c.target << "'";
    }
}

TEST(ParseOffset, SkipsOnePrefixItself) {
    EXPECT_EQ(parse_offset("0x1000"), 0x1000);
    EXPECT_EQ(parse_offset("1000"), 0x1000);
    EXPECT_EQ(offset_value("0x0x1000"), std::nullopt);  // the caller drops the first prefix
}

struct InvalidCase {
    const char* target;
    const char* shown;  // the text the message quotes: what the parser received
};

const InvalidCase INVALID_CASES[] = {
    {"KERNEL", "KERNEL"},  // keywords are case-sensitive
    {"0xZZ", "ZZ"},        // the first prefix is already dropped
    {"0X1000", "0X1000"},  // an upper-case X is just an invalid digit
    {"0x1g0000", "1g0000"},
    {"0x0xZZ", "0xZZ"},  // the parser drops the second prefix itself
    {"", ""},            // an unset variable in a script
    {"0x", ""},
    {"0x0x", "0x"},
    {"1,000,000", "1,000,000"},  // punctuation is no digit
    {"0x1:0000", "1:0000"},
    {"0x2?0000", "2?0000"},
    {"*+,-./", "*+,-./"},
    {"0x00000000200000zz", "00000000200000zz"},  // every character is examined
    {"0x1000 ", "1000 "},
    {"0x80000000", "80000000"},  // beyond every flash the handheld can hold
    {"0xffffffff", "ffffffff"},
    {"0x123456789a", "123456789a"},
    {"0xffffffffffffffffffff", "ffffffffffffffffffff"},  // no wrap-around into a small value
    {"10000000000000000200000", "10000000000000000200000"},
};

TEST(TargetToOffsetDeathTest, EndsTheRunOnAnythingButAnOffsetBelowTheLimit) {
    for (const InvalidCase& c : INVALID_CASES) {
        const std::string message = std::string("Error:  invalid offset '") + c.shown + "'";
        EXPECT_EXIT(target_to_offset(c.target), testing::ExitedWithCode(1), testing::HasSubstr("\n" + message))
            << c.target;
    }
}

}  // namespace

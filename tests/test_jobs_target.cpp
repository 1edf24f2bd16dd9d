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
    {"", 0},
    {"0", 0},
    {"0x", 0},
    {"0x0x", 0},
    {"0x0x1000", 0x1000},
    {"200000", 0x200000},
    {"0xabcdef", 0xABCDEF},
    {"0xABCDEF", 0xABCDEF},
    {"0x1:0000", 0x1A0000},
    {"0x2?0000", 0x2F0000},
    {"*+,-./", 0xABCDEF},
    {":;<=>?", 0xABCDEF},
    {"0x0000000000200000", 0},       // ten zeros; the rest is never looked at
    {"0x00000000200000", 0x20},      // only the first ten digits count
    {"0x0000000020zz", 0x20},        // nor is anything after the tenth digit examined
    {"0x7fffffff", 0x7FFFFFFF},
    // From 0x80000000 up the digits keep their exact value, never a negative one.
    {"0x80000000", 0x80000000},
    {"0xffffffff", 0xFFFFFFFF},
    {"0x123456789a", 0x123456789A},
    {"0xffffffffff", 0xFFFFFFFFFF},
    {"0xffffffffffff", 0xFFFFFFFFFF},
};

TEST(TargetToOffset, ResolvesKeywordsAndHexOffsets) {
    for (const OffsetCase& c : OFFSET_CASES) {
        EXPECT_EQ(target_to_offset(c.target), c.offset) << "target '" << c.target << "'";
    }
}

TEST(ParseOffset, SkipsOnePrefixItself) {
    EXPECT_EQ(parse_offset("0x1000"), 0x1000);
    EXPECT_EQ(parse_offset("1000"), 0x1000);
    EXPECT_EQ(parse_offset("0x"), 0);
}

TEST(OffsetDigitValue, TakesStarToQuestionMarkByLowNibble) {
    const std::string low = "*+,-./0123456789:;<=>?";
    const int expected[] = {10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    for (size_t i = 0; i < low.size(); ++i) EXPECT_EQ(offset_digit_value(low[i]), expected[i]) << low[i];
    for (char c : std::string(")@gGxX zZ")) EXPECT_EQ(offset_digit_value(c), -1) << c;
}

struct InvalidCase {
    const char* target;
    const char* shown;  // the text the message quotes
};

const InvalidCase INVALID_CASES[] = {
    {"KERNEL", "KERNEL"},          // keywords are case-sensitive
    {"0xZZ", "ZZ"},                // the first prefix is already dropped
    {"0X1000", "0X1000"},          // an upper-case X is just an invalid digit
    {"0x1g0000", "1g0000"},
    {"0x0xZZ", "0xZZ"},            // the parser drops the second prefix itself
    {"0x000000000g", "000000000g"},  // the tenth digit is still examined
};

TEST(TargetToOffsetDeathTest, EndsTheRunOnAnInvalidDigit) {
    for (const InvalidCase& c : INVALID_CASES) {
        const std::string message = std::string("Error:  invalid offset '") + c.shown + "'";
        EXPECT_EXIT(target_to_offset(c.target), testing::ExitedWithCode(1),
                    testing::HasSubstr("\n" + message))
            << c.target;
    }
}

}  // namespace

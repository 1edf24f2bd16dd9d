// SPDX-License-Identifier: GPL-2.0-or-later
// The monitor's S-record checks: what "load" answers with ACK and with NAK.
#include "srecord.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* text;
    bool ok;
    char type;
    uint32_t address;
    size_t data_size;
};

TEST(SRecordParse, AcceptsWellFormedRecordsAndRefusesDamagedOnes) {
    const Case cases[] = {
        {"S0130000786D6F64656D2D6C6F61642E73726563BA", true, '0', 0, 16},
        {"S31AA0080000D8FFBD272000BFAF1C00BEAF1800B0AF21F0A003211F", true, '3', 0xA0080000, 21},
        {"S310A0080FD5000000000000000000000063", true, '3', 0xA0080FD5, 11},
        {"S705A008000052", true, '7', 0xA0080000, 0},
        {"S1051000AABB85", true, '1', 0x1000, 2},
        {"s705a008000052", false, 0, 0, 0},                    // lower-case 's' is not a record
        {"S705a008000052", true, '7', 0xA0080000, 0},          // lower-case hex digits are
        {"\r\nS705A008000052\r\n", true, '7', 0xA0080000, 0},  // line ends around it are ignored
        {"S705A008000053", false, 0, 0, 0},                    // checksum off by one
        {"S705A0080000", false, 0, 0, 0},                      // checksum missing
        {"S705A00800005", false, 0, 0, 0},                     // odd number of digits
        {"S706A008000052", false, 0, 0, 0},                    // count says one byte more
        {"S4050000000000", false, 0, 0, 0},                    // no such type
        {"S705A00800G052", false, 0, 0, 0},                    // not a hex digit
        {"S3", false, 0, 0, 0},
        {"", false, 0, 0, 0},
        {"S31AA0080000D8FFBD272000BFAF1C00BEAF1800B0AF21F0A003201F", false, 0, 0, 0},  // one data bit flipped
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        SRecord r;
        std::string why;
        ASSERT_EQ(srecord_parse(c.text, r, why), c.ok) << why;
        if (!c.ok) {
            EXPECT_FALSE(why.empty());
            continue;
        }
        EXPECT_EQ(r.type, c.type);
        EXPECT_EQ(r.address, c.address);
        EXPECT_EQ(r.data.size(), c.data_size);
    }
}

TEST(SRecordParse, KeepsTheDataBytesInOrder) {
    SRecord r;
    std::string why;
    ASSERT_TRUE(srecord_parse("S1051000AABB85", r, why));
    EXPECT_EQ(r.kind, SRecordKind::data);
    EXPECT_EQ(r.data, (std::vector<uint8_t>{0xAA, 0xBB}));
}

}  // namespace

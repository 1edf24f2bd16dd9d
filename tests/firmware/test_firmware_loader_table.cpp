// SPDX-License-Identifier: GPL-2.0-or-later
// The committed S-record table of the device-side loader.
#include "firmware/srec_parse.h"

#include "transfer/loader_upload.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr std::uint32_t LOAD_ADDRESS = 0xA0080000;
constexpr std::size_t IMAGE_SIZE = 0xFE0;
constexpr std::size_t ENTRY_OFFSET = 0x274;         // "g -e a0080274"
constexpr std::size_t FAST_ENTRY_OFFSET = 0x2A0;    // "g -e a00802a0"
constexpr std::size_t VERIFY_ENTRY_OFFSET = 0x240;  // "g -e a0080240"

}  // namespace

TEST(LoaderTable, HoldsOneHundredNinetySixLinesOfAtMostFiftySixCharacters) {
    ASSERT_EQ(loader_srec_count, 196);
    for (int i = 0; i < loader_srec_count; i++) {
        SCOPED_TRACE(i + 1);
        // The slot keeps its NUL: ex_send sends up to it.
        EXPECT_NE(std::memchr(loader_srec[i], '\0', LOADER_SREC_SLOT), nullptr);
        EXPECT_LE(std::strlen(loader_srec[i]), 56u);
    }
}

TEST(LoaderTable, KeepsTheFourFixedLines) {
    struct Case {
        int line;
        const char* text;
    };
    const Case cases[] = {
        {1, "S0130000786D6F64656D2D6C6F61642E73726563BA"},
        {2, "S31AA0080000D8FFBD272000BFAF1C00BEAF1800B0AF21F0A003211F"},
        {195, "S310A0080FD5000000000000000000000063"},
        {196, "S705A008000052"},
    };
    for (const Case& c : cases) EXPECT_STREQ(loader_srec[c.line - 1], c.text) << "line " << c.line;
}

TEST(LoaderTable, EveryLineIsWellFormedWithItsChecksum) {
    for (int i = 0; i < loader_srec_count; i++)
        EXPECT_TRUE(srec_parse(loader_srec[i])) << "line " << i + 1 << ": " << loader_srec[i];
}

TEST(LoaderTable, DescribesOneImageOf4064BytesAtTheLoadAddress) {
    std::optional<SrecRecord> header = srec_parse(loader_srec[0]);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->type, '0');
    EXPECT_EQ(std::string(header->data.begin(), header->data.end()), "xmodem-load.srec");

    for (int i = 1; i < loader_srec_count - 1; i++) {
        std::optional<SrecRecord> record = srec_parse(loader_srec[i]);
        ASSERT_TRUE(record);
        EXPECT_EQ(record->type, '3') << "line " << i + 1;
        EXPECT_EQ(record->address, LOAD_ADDRESS + 21u * (i - 1)) << "line " << i + 1;
        EXPECT_EQ(record->data.size(), i < loader_srec_count - 2 ? 21u : 11u) << "line " << i + 1;
    }

    std::optional<SrecRecord> end = srec_parse(loader_srec[loader_srec_count - 1]);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->type, '7');
    EXPECT_EQ(end->address, LOAD_ADDRESS);  // the image's first byte, not the entry

    SrecImage image = loader_table_image();
    EXPECT_EQ(image.base, LOAD_ADDRESS);
    ASSERT_EQ(image.bytes.size(), IMAGE_SIZE);
    // Code stands at every entry the monitor's "g -e" may name.
    for (std::size_t entry : {ENTRY_OFFSET, FAST_ENTRY_OFFSET, VERIFY_ENTRY_OFFSET})
        EXPECT_NE(image.bytes[entry] | image.bytes[entry + 1] | image.bytes[entry + 2] | image.bytes[entry + 3], 0)
            << std::hex << entry;
}

// The checks above mean something only if the parser refuses what is wrong.
TEST(SrecParse, RefusesDamagedLines) {
    struct Case {
        const char* line;
        bool accepted;
    };
    const Case cases[] = {
        {"S705A008000052", true},  {"S705A008000053", false},  // checksum off by one
        {"S705a008000052", false},                             // lower-case hex
        {"S706A008000052", false},                             // count does not match the length
        {"S705A00800005", false},                              // odd number of digits
        {"X705A008000052", false},                             // not an S-record
        {"S405A008000052", false},                             // no such type
    };
    for (const Case& c : cases) EXPECT_EQ(srec_parse(c.line).has_value(), c.accepted) << c.line;
}

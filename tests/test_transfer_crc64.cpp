// SPDX-License-Identifier: GPL-2.0-or-later
// The host's CRC-64/XZ, the digest the receiver reports for each flash block.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transfer/crc64.h"

namespace {

uint64_t crc64_of(const std::string& text) {
    return crc64_update(0, reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

TEST(Crc64, GivesTheCheckValuesAndContinuesAcrossPieces) {
    EXPECT_EQ(crc64_of("123456789"), 0x995DC9BBDF1939FAu);
    EXPECT_EQ(crc64_of(""), 0u);
    const std::string text = "a flash block in two pieces";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    EXPECT_EQ(crc64_update(crc64_update(0, bytes, 7), bytes + 7, text.size() - 7), crc64_of(text));
}

// Blocks of one byte value (erased flash, zero filler) must not share a digest across lengths.
TEST(Crc64, TellsUniformBlocksOfOtherLengthsApart) {
    const std::vector<unsigned char> ones(0x20000, 0xFF);
    EXPECT_NE(crc64_update(0, ones.data(), ones.size()), crc64_update(0, ones.data(), ones.size() - 1));
    const std::vector<unsigned char> zeros(0x20000, 0);
    EXPECT_NE(crc64_update(0, zeros.data(), zeros.size()), crc64_update(0, zeros.data(), ones.size() - 1));
}

}  // namespace

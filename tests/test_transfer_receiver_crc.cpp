// SPDX-License-Identifier: GPL-2.0-or-later
// Reading our receiver's "CRC32 <crc> <count>" line out of drained text.
#include <gtest/gtest.h>

#include <string>

#include "transfer/receiver_crc.h"

namespace {

using Found = ReceiverCrc::Found;

struct CrcLineCase {
    const char* name;
    std::string text;
    Found found;
    uint32_t crc;
    uint32_t count;
};

TEST(ReceiverCrc, ReadsTheFirstCrcLineExactlyOrCallsItUnreadable) {
    const std::string success = "\nDownload Successful\n";
    const CrcLineCase cases[] = {
        {"after the verdict", success + "CRC32 1c291ca3 00000180\nPMON> \nPMON> ", Found::read, 0x1c291ca3, 0x180},
        {"alone without a line end", "CRC32 00000000 00000000", Found::read, 0, 0},
        {"the largest values", "CRC32 ffffffff ffffffff\n", Found::read, 0xffffffff, 0xffffffff},
        {"no line", success + "PMON> ", Found::none, 0, 0},
        {"nothing", "", Found::none, 0, 0},
        {"a tag not at a line start", "x CRC32 1c291ca3 00000180\n", Found::none, 0, 0},
        {"a damaged tag", "CRC3 1c291ca3 00000180\n", Found::none, 0, 0},
        {"upper-case digits", "CRC32 1C291CA3 00000180\n", Found::unreadable, 0, 0},
        {"a digit lost", "CRC32 1c291ca 00000180\n", Found::unreadable, 0, 0},
        {"a digit too many", "CRC32 1c291ca3 000001800\n", Found::unreadable, 0, 0},
        {"a changed separator", "CRC32 1c291ca3_00000180\n", Found::unreadable, 0, 0},
        {"a damaged digit", "CRC32 1c291cg3 00000180\n", Found::unreadable, 0, 0},
        {"cut short by the end of the text", "CRC32 1c291ca3 0000", Found::unreadable, 0, 0},
        {"text after the numbers", "CRC32 1c291ca3 00000180 PMON> \n", Found::unreadable, 0, 0},
        {"a CR left in the line", "CRC32 1c291ca3 00000180\r\n", Found::unreadable, 0, 0},
        {"the first line counts", "CRC32 1c291cx3 00000180\nCRC32 1c291ca3 00000180\n", Found::unreadable, 0, 0},
    };
    for (const CrcLineCase& c : cases) {
        SCOPED_TRACE(c.name);
        const ReceiverCrc report = find_receiver_crc(c.text);
        EXPECT_EQ(report.found, c.found);
        if (c.found != Found::read) continue;
        EXPECT_EQ(report.crc, c.crc);
        EXPECT_EQ(report.count, c.count);
    }
}

}  // namespace

// SPDX-License-Identifier: GPL-2.0-or-later
// The verdict on a transfer from the receiver's report and the sender's digest.
#include <gtest/gtest.h>

#include "monitor/receipt_check.h"

namespace {

using Found = ReceiverCrc::Found;

struct ReceiptCase {
    const char* name;
    ReceiverCrc report;
    bool receiver_ours;
    Receipt verdict;
};

TEST(ReceiptCheck, OnlyAMatchingReportOrNoneFromAReceiverNotOursLetsTheRunGoOn) {
    const XmodemDigest sent{0x1c291ca3, 0x180};
    const ReceiptCase cases[] = {
        {"matching", {Found::read, 0x1c291ca3, 0x180}, true, Receipt::confirmed},
        {"matching, -X", {Found::read, 0x1c291ca3, 0x180}, false, Receipt::confirmed},
        {"another CRC", {Found::read, 0x1c291ca2, 0x180}, true, Receipt::damaged},
        {"another count", {Found::read, 0x1c291ca3, 0x200}, true, Receipt::damaged},
        {"another CRC, -X", {Found::read, 0, 0x180}, false, Receipt::damaged},
        {"unreadable", {Found::unreadable, 0, 0}, true, Receipt::missing},
        {"unreadable, -X", {Found::unreadable, 0, 0}, false, Receipt::missing},
        {"none from our receiver", {}, true, Receipt::missing},
        {"none, -X", {}, false, Receipt::unchecked},
    };
    for (const ReceiptCase& c : cases) EXPECT_EQ(judge_receipt(c.report, sent, c.receiver_ours), c.verdict) << c.name;
}

struct SplitCase {
    const char* name;
    std::string drained;
    std::string line;  // the first line read after the drain
    Found found;
};

// A drain ends after 100 ms of quiet, so a pause of the handheld's can cut the
// receiver's verdict anywhere; the line read next then holds the rest of a line.
TEST(ReceiptCheck, FindsTheReportWhereverTheDrainStopped) {
    const std::string report = "CRC32 1c291ca3 00000180";
    const SplitCase cases[] = {
        {"all in the drain", "\nDownload Successful\n" + report + "\nPMON> \nPMON> ", "PMON> ", Found::read},
        {"drain cut inside the report", "\nDownload Successful\nCRC32 1c29", "1ca3 00000180", Found::read},
        {"drain cut before the report", "\nDownload Successful\n", report, Found::read},
        {"drain cut before the report's LF", "\nDownload Successful\n" + report, "PMON> ", Found::read},
        {"drain cut after the verdict's CR", "\nDownload Successful", report, Found::read},
        {"a damaged report stays unreadable", "\nDownload Successful\nCRC32 1c29", "1cx3 00000180", Found::unreadable},
        {"no report", "\nDownload Successful\nPMON> ", "PMON> ", Found::none},
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(c.name);
        const ReceiverCrc found = find_receipt(c.drained, c.line);
        EXPECT_EQ(found.found, c.found);
        if (c.found == Found::read) {
            EXPECT_EQ(found.crc, 0x1c291ca3u);
        }
    }
}

}  // namespace

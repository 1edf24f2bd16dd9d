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

}  // namespace

// SPDX-License-Identifier: GPL-2.0-or-later
#include "transfer/transfer_speed.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace {

using testing::HasSubstr;

TEST(TransferSpeed, IdealCountsEveryPacketAndItsAck) {
    EXPECT_NEAR(xmodem_ideal(115200, 128, 132), 11086.9, 0.1);
    EXPECT_NEAR(xmodem_ideal(921600, 1024, 1029), 91623.1, 0.1);
}

TEST(TransferSpeed, SuggestsAFastLineOnlyForASlowLargeTransferAtTheMonitorsRate) {
    constexpr int64_t MIB = 1024 * 1024;
    struct Case {
        const char* name;
        TransferSpeed speed;
        bool suggests;
    };
    const Case cases[] = {
        // 1 MiB through a 16 ms adapter: about 4 minutes.
        {"slow_adapter", {MIB, 240.0, 0, 115200}, true},
        // A plain line: 96 s, near the ideal.
        {"near_ideal", {MIB, 96.6, 0, 115200}, false},
        // Just under and just over half the ideal (11087 B/s).
        {"just_below_half", {MIB, MIB / 5543.0, 0, 115200}, true},
        {"just_above_half", {MIB, MIB / 5545.0, 0, 115200}, false},
        // A small image ends before a slow line matters, however slow.
        {"small_image", {256 * 1024 - 1, 100.0, 0, 115200}, false},
        {"smallest_counted", {256 * 1024, 100.0, 0, 115200}, true},
        {"no_time", {MIB, 0.0, 0, 115200}, false},
    };
    for (const Case& c : cases) {
        const std::string note = transfer_speed_note(c.speed);
        if (!c.suggests) {
            EXPECT_EQ(note, "") << c.name;
            continue;
        }
        EXPECT_THAT(note, HasSubstr("-b 921600")) << c.name;
        EXPECT_THAT(note, HasSubstr("latency")) << c.name;
        EXPECT_TRUE(note.ends_with(".\n") && note.find('\n') == note.size() - 1) << c.name << ": one line";
    }
}

TEST(TransferSpeed, TellsAFastRunTheRateItGot) {
    EXPECT_EQ(transfer_speed_note({4194304, 50.0, 921600, 921600}),
              "Transfer ran at 921600 bit/s: 4194304 bytes in 50.0 s (83886 bytes/s)\n");
    EXPECT_EQ(transfer_speed_note({1024, 0.5, 921600, 115200}),
              "Transfer ran at 115200 bit/s (the fast line was not taken): 1024 bytes in 0.5 s (2048 bytes/s)\n");
}

}  // namespace

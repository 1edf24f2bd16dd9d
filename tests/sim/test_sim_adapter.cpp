// SPDX-License-Identifier: GPL-2.0-or-later
// A USB adapter's bursts toward the host: its latency timer from the first
// byte held, or a full USB packet at once.
#include "adapter.h"

#include <gtest/gtest.h>

namespace {

TEST(Adapter, AHeldBurstLeavesWhenTheTimerFromItsFirstByteRunsOut) {
    AdapterBuffer a;
    a.latency_ns = 16'000'000;
    EXPECT_EQ(a.due, INT64_MAX);
    EXPECT_FALSE(adapter_hold(a, 'a', 1000));
    EXPECT_FALSE(adapter_hold(a, 'b', 9'000'000));  // later bytes do not restart the timer
    EXPECT_EQ(a.due, 16'001'000);
    EXPECT_EQ(adapter_take(a), (std::vector<uint8_t>{'a', 'b'}));
    EXPECT_EQ(a.due, INT64_MAX);
    EXPECT_FALSE(adapter_hold(a, 'c', 20'000'000));  // the next burst has a timer of its own
    EXPECT_EQ(a.due, 36'000'000);
}

TEST(Adapter, SixtyTwoBytesLeaveAtOnce) {
    AdapterBuffer a;
    a.latency_ns = 16'000'000;
    for (size_t i = 1; i < ADAPTER_BURST_MAX; ++i) EXPECT_FALSE(adapter_hold(a, static_cast<uint8_t>(i), 0));
    EXPECT_TRUE(adapter_hold(a, 0xFF, 0));
    EXPECT_EQ(adapter_take(a).size(), 62u);
    EXPECT_TRUE(a.held.empty());
}

}  // namespace

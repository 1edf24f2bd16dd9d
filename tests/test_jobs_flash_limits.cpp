// SPDX-License-Identifier: GPL-2.0-or-later
#include "jobs/flash_limits.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(FlashRoundUp, RoundsToWholeBlocks) {
    const struct {
        int64_t size;
        int64_t rounded;
    } cases[] = {
        {0, 0},
        {1, 0x20000},
        {0x1FFFF, 0x20000},
        {0x20000, 0x20000},
        {0x20001, 0x40000},
        {0x170001, 0x180000},
        {0x400000, 0x400000},
        {0x7FFFFFFF, 0x80000000},
    };
    for (const auto& c : cases) EXPECT_EQ(flash_round_up(c.size), c.rounded) << std::hex << c.size;
}

}  // namespace

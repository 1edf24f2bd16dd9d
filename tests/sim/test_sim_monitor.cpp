// SPDX-License-Identifier: GPL-2.0-or-later
// How the monitor reads its command lines and judges a flash request.
#include "hardware.h"
#include "monitor.h"

#include <gtest/gtest.h>

namespace {

TEST(MonitorCommand, ReadsTheCommandsTheHostTypes) {
    struct Case {
        const char* line;
        CommandKind kind;
        uint32_t a, b, c;  // entry, or ram/size/offset
        bool restore;
    };
    const Case cases[] = {
        {"", CommandKind::empty, 0, 0, 0, false},
        {"   ", CommandKind::empty, 0, 0, 0, false},
        {"load", CommandKind::load, 0, 0, 0, false},
        {"g -e a0080274", CommandKind::go, 0xA0080274, 0, 0, false},
        {"g -e 0xA0080274", CommandKind::go, 0xA0080274, 0, 0, false},
        {"g a0080274", CommandKind::bad_usage, 0, 0, 0, false},
        {"g -e zz", CommandKind::bad_usage, 0, 0, 0, false},
        {"flash 80090000 400000 200000", CommandKind::flash, 0x80090000, 0x400000, 0x200000, false},
        {"flash 80090000 100000 0", CommandKind::flash, 0x80090000, 0x100000, 0, false},
        {"flash 80090000 100000", CommandKind::bad_usage, 0, 0, 0, false},
        {"flash 80090000 1000000000 0", CommandKind::bad_usage, 0, 0, 0, false},
        {"unzip", CommandKind::unzip, 0, 0, 0, false},
        {"$linux", CommandKind::boot, 0, 0, 0, false},
        {"$linux console=ttyS0,115200 init=/sbin/restore_defaults", CommandKind::boot, 0, 0, 0, true},
        {"$linux init=/sbin/restore_defaults_not", CommandKind::boot, 0, 0, 0, false},
        {"LOAD", CommandKind::unknown, 0, 0, 0, false},
        {"y", CommandKind::unknown, 0, 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const Command cmd = parse_command(c.line);
        EXPECT_EQ(cmd.kind, c.kind);
        if (c.kind == CommandKind::go) {
            EXPECT_EQ(cmd.entry, c.a);
        }
        if (c.kind == CommandKind::flash) {
            EXPECT_EQ(cmd.ram, c.a);
            EXPECT_EQ(cmd.size, c.b);
            EXPECT_EQ(cmd.offset, c.c);
        }
        EXPECT_EQ(cmd.restore_defaults, c.restore);
    }
}

TEST(MonitorCommand, FlashRequestsOutsideRamOrFlashAreRefused) {
    struct Case {
        uint32_t ram, size, offset;
        bool ok;
    };
    const uint32_t flash = DEFAULT_FLASH_SIZE;
    const Case cases[] = {
        {0x80090000, 0x680000, 0x200000, true},
        {0x80090000, 0x20000, flash - 0x20000, true},   // the last block
        {0x80090000, 0x20000, flash - 0x1FFFF, false},  // one byte past the end
        {0x80090000, 0, 0, false},
        {0x80090000, RAM_SIZE, 0, false},  // source runs past RAM
        {0xA0000000, RAM_SIZE, 0, false},
        {0x80090000, 0x100000, 0xFFFFFFFF, false},  // offset wraps
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.ram << " " << c.size << " " << c.offset);
        EXPECT_EQ(flash_range_problem(c.ram, c.size, c.offset, flash).empty(), c.ok);
    }
}

}  // namespace

// SPDX-License-Identifier: GPL-2.0-or-later
// The pure pieces of the programming watch: how a reply line is judged, how
// far one block moves the meter, and the flash command's text.
#include <gtest/gtest.h>

#include <string>

#include "monitor/monitor_commands.h"
#include "monitor/programming_watch.h"
#include "serial/port.h"

namespace {

struct LineCase {
    const char* line;
    WatchLine verdict;
};

TEST(ProgrammingWatch, JudgesEachLineByTheFirstTestItMeets) {
    const LineCase cases[] = {
        {"Programming block 200000", WatchLine::progress},
        // "Error" anywhere makes an error line, even beside a block's progress.
        {"Programming block 0 Error", WatchLine::error},
        {"Error: erase failed; Programming block 3 of 8 at 0x40000", WatchLine::error},
        {"Error: verify failed", WatchLine::error},
        {"Error PMON> ", WatchLine::error},  // a prompt in an Error line does not end the watch
        {"PMON> ", WatchLine::prompt},
        {"PMram>", WatchLine::prompt},
        {"PMON>", WatchLine::other},  // the prompt needs its trailing space
        {"programming block 1", WatchLine::other},
        {"error", WatchLine::other},
        {"", WatchLine::other},
    };
    for (const auto& c : cases) EXPECT_EQ(classify_watch_line(c.line), c.verdict) << '"' << c.line << '"';
}

TEST(ProgrammingWatch, OneBlockMovesTheMeterButNeverPastTheFlashSize) {
    EXPECT_EQ(programming_advance(0, 0x60000), 0x20000);
    EXPECT_EQ(programming_advance(0x40000, 0x60000), 0x60000);
    EXPECT_EQ(programming_advance(0x60000, 0x60000), 0x60000);
    EXPECT_EQ(programming_advance(0, 0), 0);
}

struct CommandCase {
    int64_t size;
    int64_t offset;
    const char* text;
};

TEST(ProgrammingWatch, FlashCommandIsLowerCaseHexWithoutPrefix) {
    const CommandCase cases[] = {
        {0x60000, 0x200000, "flash 80090000 60000 200000\r"},
        {0x100000, 0, "flash 80090000 100000 0\r"},
        {0, 0x200000, "flash 80090000 0 200000\r"},
        {0x500000, 0xABC0000, "flash 80090000 500000 abc0000\r"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(format_flash_command(c.size, c.offset), c.text);
    }
}

}  // namespace

// SPDX-License-Identifier: GPL-2.0-or-later
// The line reader's 50-second limits, waited out on a real pseudo-terminal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "monitor/monitor_prompt.h"
#include "serial/capture.h"
#include "serial/line_reader.h"
#include "serial/port.h"
#include "support/port_fixture.h"
#include "support/pty_test.h"
#include "support/run_binary.h"

namespace {

using PortTimeoutTest = CapturingPortTest;

TEST_F(PortTimeoutTest, NoByteWithinTheWaitsGivesMinusOneAndNoRecord) {
    LineReader reader(slave_fd, line_has_prompt);
    EXPECT_EQ(reader.readline(), -1);
    EXPECT_STREQ(reader.line(), "");
    EXPECT_EQ(testkit::read_file(dir.file("capture.log")), "H\n");
}

// A monitor that stops in the middle of a line must not hold the run for ever.
TEST_F(PortTimeoutTest, LineThatFallsSilentGivesMinusOneAndNoRecord) {
    peer_write("\r\nProgramming blo");
    LineReader reader(slave_fd, line_has_prompt);
    EXPECT_EQ(reader.readline(), -1);
    EXPECT_STREQ(reader.line(), "Programming blo");
    EXPECT_EQ(testkit::read_file(dir.file("capture.log")), "H\n");
}

TEST_F(PortTimeoutTest, SilentMonitorEndsTheSearchForItsPrompt) {
    LineReader reader(slave_fd, line_has_prompt);
    EXPECT_EXIT(port_getpmon(reader), ::testing::ExitedWithCode(1),
                "Looking for PMON prompt...\nError: port_getpmon timed out reading from port\nHint:  no \"PMON> \" "
                "prompt came: check that the handheld is on and at its monitor, the cable, that -s names its port, "
                "and that the monitor runs at 115200 bit/s\n\n$");
}

}  // namespace

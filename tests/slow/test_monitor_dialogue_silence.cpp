// SPDX-License-Identifier: GPL-2.0-or-later
// A monitor that falls silent while it programs: the run ends after the line
// reader's own limit of ten 5 s waits.
#include <string>

#include "support/pty_test.h"
#include "support/run_binary.h"
#include "support/scripted_monitor.h"

namespace {

constexpr int RUN_LIMIT_SECONDS = 180;  // the 50 s limit plus a whole run

class SilentMonitorTest : public PtyTest {};

TEST_F(SilentMonitorTest, SilenceAfterTheConfirmationEndsTheRunWithTheTimeoutMessage) {
    testkit::TempDir dir;
    testkit::write_pattern_file(dir.file("rd.bin"), 300);
    MonitorScript script;
    script.programming = [](const FlashRequest&) { return std::string(); };  // not a word after "y"
    ScriptedMonitor monitor(master_fd, script);
    const std::string err_path = dir.file("stderr.txt");
    testkit::Child kelvane =
        start_kelvane({"-r", "-s", slave_path.substr(5), dir.file("rd.bin"), "romdisk"}, dir.path(), err_path);
    EXPECT_EQ(monitor.serve(kelvane, RUN_LIMIT_SECONDS), 1);
    const std::string err = testkit::read_file(err_path);
    EXPECT_NE(err.find("\r -- [0k/128k] |  0.00 KB/s |   0% | 00:00s ETA --\nError: timeout reading from port"),
              std::string::npos)
        << err;
    // Nothing is sent after the confirmation: no wake-up, no boot.
    const std::string tail = "y\r";
    EXPECT_EQ(monitor.received.substr(monitor.received.size() - tail.size()), tail);
}

}  // namespace

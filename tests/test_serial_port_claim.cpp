// SPDX-License-Identifier: GPL-2.0-or-later
#include "serial/port_claim.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>

#include "core/exit_signals.h"
#include "core/fatal.h"
#include "serial/port.h"
#include "support/port_state.h"
#include "support/pty_test.h"
#include "support/text_match.h"

namespace {

using testing::ExitedWithCode;

using PortClaim = PtyTest;

// Root opens through the exclusive mode and meets the lock; anyone else finds
// the open refused. Either way the message is the same.
TEST_F(PortClaim, ASecondProgramOnAClaimedPortEndsWithoutTouchingIt) {
    const int first = port_open_claimed(slave_path.c_str());
    EXPECT_TRUE(terminal_exclusive(first));
    // The second program (the death test's child) names this process, the lock's holder.
    std::string command;
    std::getline(std::ifstream("/proc/self/comm"), command);
    const std::string holder = command + " (pid " + std::to_string(getpid()) + ")";
    EXPECT_EXIT(port_open_claimed(slave_path.c_str()), ExitedWithCode(1),
                literally("\nError:  port '" + slave_path + "' is in use by another program.  Aborting.\nHint:  held by " +
                          holder + "; end it, or give another port with -s\n\n"));
    port_close(first);
    EXPECT_FALSE(terminal_exclusive(slave_fd));
}

struct WayOut {
    const char* name;
    void (*leave)(int port_fd);
    std::function<bool(int)> ends;
};

// A failing case is named, not dumped byte by byte.
void PrintTo(const WayOut& c, std::ostream* os) { *os << c.name; }

const WayOut WAYS_OUT[] = {
    {"normal_end",
     [](int fd) {
         port_close(fd);
         cleanup_and_exit(0);
     },
     ExitedWithCode(0)},
    {"fatal_end",
     [](int) {
         errno = 0;
         error_exit("Error:  fails");
     },
     ExitedWithCode(1)},
    {"signal",
     [](int) {
         install_exit_signal_handlers();
         raise(SIGTERM);
     },
     testing::KilledBySignal(SIGTERM)},
};

class ExclusiveMode : public PtyTest, public testing::WithParamInterface<WayOut> {};

// The mode belongs to the terminal and outlives the run's descriptor while the
// far end stays open, so every way out must clear it.
TEST_P(ExclusiveMode, IsClearedOnTheWayOut) {
    const WayOut& way = GetParam();
    EXPECT_EXIT(
        {
            const int fd = port_open_claimed(slave_path.c_str());
            if (terminal_exclusive(fd)) fputs("set\n", stderr);
            way.leave(fd);
        },
        way.ends, testing::StartsWith("set\n"));
    EXPECT_FALSE(terminal_exclusive(slave_fd));
}

INSTANTIATE_TEST_SUITE_P(Ways, ExclusiveMode, testing::ValuesIn(WAYS_OUT),
                         [](const auto& info) { return std::string(info.param.name); });

// Root opens a port that another program made exclusive; that mode is not this run's to clear.
TEST_F(PortClaim, LeavesAnotherProgramsExclusiveModeAsFound) {
    if (geteuid() != 0) GTEST_SKIP() << "only root opens through another program's exclusive mode";
    ASSERT_EQ(ioctl(slave_fd, TIOCEXCL), 0);
    EXPECT_EXIT(
        {
            port_open_claimed(slave_path.c_str());
            cleanup_and_exit(0);
        },
        ExitedWithCode(0), testing::Eq(""));
    EXPECT_TRUE(terminal_exclusive(slave_fd));
    ioctl(slave_fd, TIOCNXCL);
}

}  // namespace

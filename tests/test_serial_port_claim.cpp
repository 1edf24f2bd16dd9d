// SPDX-License-Identifier: GPL-2.0-or-later
#include "serial/port_claim.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

constexpr uid_t NOBODY = 65534;

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

// A run killed with SIGKILL leaves the exclusive mode set while the far end
// keeps the terminal alive (this test holds the master, as a simulator does).
// With no program on the port, root clears the mode and makes it its own;
// anyone else is told that an earlier run did not clean up.
TEST_F(PortClaim, AnExclusiveModeThatNoProgramHoldsIsStale) {
    ASSERT_EQ(ioctl(slave_fd, TIOCEXCL), 0);
    if (geteuid() == 0) {
        EXPECT_EXIT(
            {
                const int fd = port_open_claimed(slave_path.c_str());
                if (terminal_exclusive(fd)) fputs("set\n", stderr);
                port_close(fd);
                cleanup_and_exit(0);
            },
            ExitedWithCode(0), testing::Eq("set\n"));
        EXPECT_FALSE(terminal_exclusive(slave_fd));
        ASSERT_EQ(ioctl(slave_fd, TIOCEXCL), 0);
        ASSERT_EQ(fchmod(slave_fd, 0666), 0);  // for the unprivileged user below
    }
    EXPECT_EXIT(
        {
            if (geteuid() == 0 && setresuid(NOBODY, NOBODY, NOBODY) != 0) _exit(2);
            port_open_claimed(slave_path.c_str());
        },
        ExitedWithCode(1),
        literally("\nError:  port '" + slave_path +
                  "' is locked by a run that did not clean up; replug it or run kelvane as root.  Aborting.\n\n"));
    ioctl(slave_fd, TIOCNXCL);
}

// A program that has the port open and made it exclusive is using it, whether
// the open goes through its mode (root) or not.
TEST_F(PortClaim, APortAnotherProgramMadeExclusiveIsInUse) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        close(master_fd);  // only the port, as a terminal program holds it
        if (ioctl(slave_fd, TIOCEXCL) != 0) _exit(1);
        const char byte = 1;
        if (write(ready[1], &byte, 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    // The hint names the holders: the other program and this test, which keeps the port open too.
    EXPECT_EXIT(port_open_claimed(slave_path.c_str()), ExitedWithCode(1),
                literally("\nError:  port '" + slave_path + "' is in use by another program.  Aborting.\nHint:  held by ") +
                    ".*\\(pid " + std::to_string(other) + "\\).*; end it, or give another port with -s\n\n");
    EXPECT_TRUE(terminal_exclusive(slave_fd));
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    ioctl(slave_fd, TIOCNXCL);
}

}  // namespace

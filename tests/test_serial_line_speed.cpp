// SPDX-License-Identifier: GPL-2.0-or-later
// Speed changes and low latency on a pty, which has termios speeds but no
// TIOCGSERIAL: the low-latency request must leave no trace there.
#include "serial/line_speed.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "core/exit_cleanup.h"
#include "serial/port.h"
#include "serial/port_claim.h"
#include "support/pty_test.h"

namespace {

TEST(LineSpeedTable, NamesTheFastSpeedsAndNothingElse) {
    const struct {
        unsigned long rate;
        speed_t code;
    } cases[] = {
        {115200, B115200}, {230400, B230400},   {460800, B460800},   {576000, B576000},
        {921600, B921600}, {1152000, B1152000}, {4000000, B4000000}, {0, B0},
        {9600, B0},        {921601, B0},        {4000001, B0},
    };
    for (const auto& c : cases) EXPECT_EQ(line_speed_code(c.rate), c.code) << c.rate;
    for (int i = 1; i < LINE_SPEED_COUNT; ++i) EXPECT_LT(LINE_SPEEDS[i - 1].rate, LINE_SPEEDS[i].rate);
}

class LineSpeedTest : public PtyTest {
protected:
    void SetUp() override {
        clear_exit_cleanups();
        port_setup(slave_fd);
    }
    void TearDown() override { clear_exit_cleanups(); }

    speed_t speeds(speed_t* input) const {
        termios now{};
        tcgetattr(slave_fd, &now);
        *input = cfgetispeed(&now);
        return cfgetospeed(&now);
    }
};

TEST_F(LineSpeedTest, ChangesBothDirectionsAndTheExitPutsTheMonitorsRateBack) {
    port_set_speed(slave_fd, 921600);
    speed_t input = B0;
    EXPECT_EQ(speeds(&input), B921600);
    EXPECT_EQ(input, B921600);

    run_signal_safe_exit_cleanups();  // a run cut short while fast
    EXPECT_EQ(speeds(&input), B115200);
    EXPECT_EQ(input, B115200);
}

// The normal end closes the port through port_close, which must put the
// speed back itself: an exit entry that ran after the close would find the
// descriptor gone. Another descriptor of the same terminal shows its speed.
TEST_F(LineSpeedTest, PortCloseLeavesTheMonitorsRateAndTheExitFindsNothingLeft) {
    const int watcher = open(slave_path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(watcher, 0);
    const int run_fd = open(slave_path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(run_fd, 0);
    port_set_speed(run_fd, 921600);
    port_close(run_fd);
    termios now{};
    ASSERT_EQ(tcgetattr(watcher, &now), 0);
    EXPECT_EQ(cfgetospeed(&now), B115200);
    EXPECT_EQ(cfgetispeed(&now), B115200);

    // The speed is this run's no longer: the exit leaves a later change alone.
    cfsetispeed(&now, B230400);
    cfsetospeed(&now, B230400);
    ASSERT_EQ(tcsetattr(watcher, TCSANOW, &now), 0);
    run_exit_cleanups();
    ASSERT_EQ(tcgetattr(watcher, &now), 0);
    EXPECT_EQ(cfgetospeed(&now), B230400);
    close(watcher);
}

TEST_F(LineSpeedTest, LowLatencyOnAPtyChangesNothingAndKeepsErrno) {
    errno = EAGAIN;
    port_low_latency(slave_fd);
    EXPECT_EQ(errno, EAGAIN);
    // Nothing was registered: the table has all its slots free.
    for (int i = 0; i < EXIT_CLEANUP_SLOTS; ++i)
        EXPECT_TRUE(register_exit_cleanup([](void*) {}, nullptr, SignalSafety::safe)) << i;
}

}  // namespace

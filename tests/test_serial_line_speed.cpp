// Speed changes and low latency on a pty, which has termios speeds but no
// TIOCGSERIAL: the low-latency request must leave no trace there.
#include "serial/line_speed.h"

#include <termios.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "core/exit_cleanup.h"
#include "serial/port.h"
#include "support/pty_pair.h"

namespace {

TEST(LineSpeedTable, NamesTheFastSpeedsAndNothingElse) {
    const struct {
        unsigned long rate;
        speed_t code;
    } cases[] = {
        {115200, B115200}, {230400, B230400}, {460800, B460800},   {576000, B576000},
        {921600, B921600}, {1152000, B1152000}, {4000000, B4000000},
        {0, B0},           {9600, B0},         {921601, B0},       {4000001, B0},
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

TEST_F(LineSpeedTest, LowLatencyOnAPtyChangesNothingAndKeepsErrno) {
    errno = EAGAIN;
    port_low_latency(slave_fd);
    EXPECT_EQ(errno, EAGAIN);
    // Nothing was registered: the table has all its slots free.
    for (int i = 0; i < EXIT_CLEANUP_SLOTS; ++i)
        EXPECT_TRUE(register_exit_cleanup([](void*) {}, nullptr, SignalSafety::safe)) << i;
}

}  // namespace

// SPDX-License-Identifier: GPL-2.0-or-later
// The fast line's arithmetic and its negotiation, the receiver played on the
// master side of a pty by a thread that answers as our loader's fast entry
// does. The pty has no real rate, so the player notes the slave's termios
// speed when a byte reaches it: that is the speed the host sent it at.
#include "transfer/fast_line.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "serial/line_speed.h"
#include "serial/port.h"
#include "support/pty_test.h"
#include "transfer/control_bytes.h"

namespace {

using testing::HasSubstr;

// Which rates a UART clock of 16 * 115200 * d0 can make within 2 %.
TEST(FastLineDivisor, FindsADivisorWithinTwoPercentOrNone) {
    const struct {
        unsigned d0;
        unsigned long rate;
        unsigned divisor;  // 0: not makeable
    } cases[] = {
        // The simulator's default clock, 14745600 Hz.
        {8, 921600, 1},
        {8, 460800, 2},
        {8, 230400, 4},
        {8, 115200, 8},
        {8, 576000, 0},   // 460800 or 921600: both 20 % off
        {8, 1152000, 0},  // 921600 is the fastest it has
        {8, 500000, 0},   // 460800 is 7.8 % short
        // The edges of 2 % around 921600.
        {8, 940408, 1},
        {8, 940409, 0},
        {8, 903530, 1},
        {8, 903529, 0},
        // 1843200 Hz: nothing above the monitor's rate.
        {1, 921600, 0},
        {1, 230400, 0},
        {1, 115200, 1},
        // Other clocks: the nearer divisor that fits.
        {26, 1500000, 2},        // 1497600, 0.16 % short
        {104, 3000000, 4},       // 2995200
        {96, 3000000, 0},        // 3686400 or 2764800
        {0x1234, 4000000, 134},  // 4006208, 0.16 % over
        {0xFFFF, 115200, 0xFFFF},
        // Nothing reported, nothing asked.
        {0, 921600, 0},
        {8, 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fast_line_divisor(c.d0, c.rate), c.divisor) << "d0 " << c.d0 << ", " << c.rate << " bit/s";
        if (c.divisor != 0) {
            EXPECT_GT(fast_line_rate(c.d0, c.divisor), 0u);
        }
    }
    EXPECT_EQ(fast_line_rate(8, 1), 921600u);
    EXPECT_EQ(fast_line_rate(26, 2), 1497600u);
}

// Every speed -b accepts has its termios constant, and the table is what a
// clock of d0 8 is judged against: only 230400, 460800 and 921600 fit.
TEST(FastLineDivisor, TheSimulatorsClockMakesThreeOfTheHostsSpeeds) {
    std::vector<unsigned long> makeable;
    for (int i = 0; i < LINE_SPEED_COUNT; ++i) {
        EXPECT_NE(line_speed_code(LINE_SPEEDS[i].rate), B0);
        if (fast_line_divisor(8, LINE_SPEEDS[i].rate) != 0) makeable.push_back(LINE_SPEEDS[i].rate);
    }
    EXPECT_EQ(makeable, (std::vector<unsigned long>{230400, 460800, 921600}));
}

TEST(FastLineOffer, ReadsFourHexDigitsAfterFast) {
    const struct {
        const char* line;
        unsigned d0;  // 0: no offer
    } cases[] = {
        {"FAST 0008", 8},
        {"FAST 0001 trailing", 1},
        {"FAST 00ff", 0xFF},
        {"FAST 00FF", 0xFF},
        {"FAST ffff", 0xFFFF},
        {"FAST 0000", 0},  // no UART divides by zero
        {"FAST 008", 0},
        {"FAST 00g8", 0},
        {"FAST  008", 0},
        {"fast 0008", 0},
        {" FAST 0008", 0},  // the line must begin with it
        {"FAS", 0},
        {"", 0},
    };
    for (const auto& c : cases) {
        const auto d0 = parse_fast_offer(c.line);
        EXPECT_EQ(d0.value_or(0), c.d0) << '"' << c.line << '"';
    }
}

// What the player answers, and when.
struct Player {
    std::string said;         // sent as soon as the host starts
    bool answer_fast = true;  // probes at a speed other than 115200
    bool answer_slow = true;  // probes at 115200
};

// What reached the player.
struct Heard {
    std::string bytes;
    std::vector<speed_t> speeds;  // the slave's output speed as each byte arrived
};

class FastLineTest : public PtyTest {
protected:
    void SetUp() override { port_setup(slave_fd); }

    FastLine negotiate(const Player& player, unsigned long rate) {
        std::atomic<bool> done{false};
        std::thread peer([&] {
            peer_write(player.said);
            while (!done) {
                pollfd ready{master_fd, POLLIN, 0};
                if (poll(&ready, 1, 5) <= 0) continue;
                char byte = 0;
                if (read(master_fd, &byte, 1) != 1) continue;
                termios now{};
                tcgetattr(slave_fd, &now);
                const speed_t speed = cfgetospeed(&now);
                heard.bytes += byte;
                heard.speeds.push_back(speed);
                const bool answers = speed == B115200 ? player.answer_slow : player.answer_fast;
                if (byte == 'U' && answers) peer_write("K");
                if (byte == 'G' && answers) peer_write(std::string(1, static_cast<char>(NAK)));
            }
        });
        testing::internal::CaptureStderr();
        const FastLine line = fast_line_start(slave_fd, rate);
        notices = testing::internal::GetCapturedStderr();
        done = true;
        peer.join();
        return line;
    }

    speed_t slave_speed() const {
        termios now{};
        tcgetattr(slave_fd, &now);
        return cfgetospeed(&now);
    }

    Heard heard;
    std::string notices;
};

const std::string ECHO_AND_OFFER = "g -e a00802a0\r\nFAST 0008\r\n";

TEST_F(FastLineTest, MovesToAMakeableRateAndStartsOnTheNakThere) {
    const FastLine line = negotiate({ECHO_AND_OFFER}, 921600);
    EXPECT_TRUE(line.fast);
    EXPECT_TRUE(line.start_nak_seen);
    EXPECT_EQ(notices, "");
    ASSERT_GE(heard.bytes.size(), 5u);
    EXPECT_EQ(heard.bytes.substr(0, 4), std::string("S\x01\x00U", 4));
    EXPECT_EQ(heard.bytes.back(), 'G');
    EXPECT_EQ(heard.speeds[3], B921600) << "the probe must go at the new rate";
    EXPECT_EQ(slave_speed(), B921600);

    fast_line_end(slave_fd, line);
    EXPECT_EQ(slave_speed(), B115200);
}

// Every way back to 115200 says so once, and still finds the receiver there.
TEST_F(FastLineTest, FallsBackToTheMonitorsRateWithOneNotice) {
    const struct {
        const char* name;
        Player player;
        unsigned long rate;
        std::string first_bytes;
        std::string notice;
    } cases[] = {
        {"RateTheClockCannotMake",
         {ECHO_AND_OFFER},
         576000,
         "=U",
         "Notice:  the handheld cannot run its line at 576000 bit/s; sending at 115200.\n"},
        {"NoOffer",
         {"g -e a00802a0\r\nCommand not found\r\n"},
         921600,
         "=U",
         "Notice:  the receiver made no offer of a line at 921600 bit/s; sending at 115200.\n"},
        {"LineDoesNotComeUp",
         {ECHO_AND_OFFER, false, true},
         921600,
         std::string("S\x01\x00U", 4),
         "Notice:  the line did not come up at 921600 bit/s; sending at 115200.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        heard = Heard{};
        const FastLine line = negotiate(c.player, c.rate);
        EXPECT_FALSE(line.fast);
        EXPECT_TRUE(line.start_nak_seen);
        EXPECT_EQ(notices, c.notice);
        EXPECT_EQ(heard.bytes.substr(0, c.first_bytes.size()), c.first_bytes);
        EXPECT_EQ(heard.bytes.back(), 'G');
        EXPECT_EQ(heard.speeds.back(), B115200);
        EXPECT_EQ(slave_speed(), B115200);
        fast_line_end(slave_fd, line);
        EXPECT_EQ(slave_speed(), B115200);
    }
}

// -b 115200: nothing to ask for, so no notice; the exchange still runs, all at
// the monitor's rate. Only a receiver that made no offer is worth a word.
TEST_F(FastLineTest, StaysAtTheMonitorsRateWhenThatIsTheRateAsked) {
    const struct {
        const char* name;
        std::string said;
        std::string notice;
    } cases[] = {
        {"Offer", ECHO_AND_OFFER, ""},
        {"NoOffer", "g -e a00802a0\r\nCommand not found\r\n",
         "Notice:  the receiver made no offer of a line at 115200 bit/s; sending at 115200.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        heard = Heard{};
        const FastLine line = negotiate({c.said}, 115200);
        EXPECT_FALSE(line.fast);
        EXPECT_TRUE(line.start_nak_seen);
        EXPECT_EQ(notices, c.notice);
        // A loaded machine may take more than one probe.
        EXPECT_EQ(heard.bytes.substr(0, 2), "=U");
        EXPECT_EQ(heard.bytes.back(), 'G');
        EXPECT_EQ(heard.speeds, std::vector<speed_t>(heard.bytes.size(), B115200));
        fast_line_end(slave_fd, line);
        EXPECT_EQ(slave_speed(), B115200);
    }
}

TEST_F(FastLineTest, LeavesTheStartNakToTheSenderWhenNothingAnswers) {
    const FastLine line = negotiate({ECHO_AND_OFFER, false, false}, 921600);
    EXPECT_FALSE(line.fast);
    EXPECT_FALSE(line.start_nak_seen);
    EXPECT_EQ(notices, "Notice:  the line did not come up at 921600 bit/s; sending at 115200.\n");
    // 50 probes at each rate, never a 'G'.
    EXPECT_EQ(heard.bytes, std::string("S\x01\x00", 3) + std::string(100, 'U'));
    EXPECT_EQ(slave_speed(), B115200);
}

}  // namespace

// SPDX-License-Identifier: GPL-2.0-or-later
// Line rates: which rates a UART clock makes within 2 %, the host's termios
// speeds, and the paced schedule of sent bytes.
#include "pacing.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

struct DivisorCase {
    uint32_t clock;
    uint32_t rate;
    uint32_t divisor;  // 0: the clock cannot make the rate within 2 %
};

void PrintTo(const DivisorCase& c, std::ostream* os) { *os << c.clock << " Hz, " << c.rate << " bit/s"; }

class DivisorArithmetic : public testing::TestWithParam<DivisorCase> {};

TEST_P(DivisorArithmetic, NearestDivisorWithinTwoPercentOrNone) {
    const DivisorCase& c = GetParam();
    EXPECT_EQ(divisor_for(c.clock, c.rate), c.divisor);
    if (c.divisor != 0) {
        EXPECT_TRUE(divisor_makes(c.clock, c.divisor, c.rate));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DivisorArithmetic,
                         testing::Values(
                             // The handheld's clock: 115200 is divisor 8, 921600 divisor 1.
                             DivisorCase{14745600, 115200, 8}, DivisorCase{14745600, 230400, 4},
                             DivisorCase{14745600, 460800, 2}, DivisorCase{14745600, 921600, 1},
                             DivisorCase{14745600, 9600, 96},
                             // 20 % away from the nearest divisor: 460800 and 921600 are what it makes.
                             DivisorCase{14745600, 576000, 0}, DivisorCase{14745600, 1152000, 0},
                             // Faster than the clock can go at all (the nearest divisor would be 0).
                             DivisorCase{14745600, 2000000, 0},
                             // A clock that makes 115200 only at divisor 1: nothing faster.
                             DivisorCase{1843200, 115200, 1}, DivisorCase{1843200, 230400, 0},
                             DivisorCase{1843200, 921600, 0},
                             // A clock that makes the odd rates and not 921600.
                             DivisorCase{18432000, 115200, 10}, DivisorCase{18432000, 576000, 2},
                             DivisorCase{18432000, 1152000, 1}, DivisorCase{18432000, 921600, 0},
                             // Not exact, but within 2 %: 24 MHz / (16 * 13) is 115385 bit/s, 0.16 % off.
                             DivisorCase{24000000, 115200, 13}, DivisorCase{24000000, 921600, 0},
                             // Right at the limit: 2.000 % is in, 2.0003 % is out.
                             DivisorCase{1880064, 115200, 1}, DivisorCase{1880100, 115200, 0},
                             DivisorCase{1806336, 115200, 1}, DivisorCase{1806300, 115200, 0},
                             // A divisor wider than the latch's 16 bits.
                             DivisorCase{14745600, 10, 0}),
                         [](const testing::TestParamInfo<DivisorCase>& i) {
                             return std::to_string(i.param.clock) + "Hz_" + std::to_string(i.param.rate);
                         });

TEST(DivisorArithmetic, ADivisorOfZeroIsTheSlowestRateNotAFastOne) {
    EXPECT_FALSE(divisor_makes(14745600, 0, 115200));
    EXPECT_TRUE(divisor_makes(16u * 0x10000, 0, 1));
}

TEST(HostRates, TermiosSpeedsTranslateToBitRates) {
    struct Case {
        speed_t speed;
        uint32_t rate;
    };
    const Case cases[] = {{B115200, 115200},   {B921600, 921600}, {B576000, 576000},
                          {B1152000, 1152000}, {B9600, 9600},     {B0, 0}};
    for (const Case& c : cases) EXPECT_EQ(termios_rate(c.speed), c.rate) << c.rate;
}

TEST(PacedByteTime, ScalesWithTheDivisorFromThePaceAtTheMonitors) {
    EXPECT_EQ(paced_byte_ns(115200, 8, 8), 86805);  // 10 bits at 115200 bit/s
    EXPECT_EQ(paced_byte_ns(115200, 8, 1), 10850);  // at 921600
    EXPECT_EQ(paced_byte_ns(9600, 8, 8), 1041666);  // a slower pace keeps the same proportions
    EXPECT_EQ(paced_byte_ns(9600, 8, 1), 130208);
    EXPECT_EQ(paced_byte_ns(0, 8, 1), 0);  // unpaced at any divisor
}

// Sent bytes follow absolute deadlines: a byte handed over before the line is
// free starts when it is, so a sender that wakes late does not push the whole
// burst back; after a pause the schedule starts again from the hand-over.
TEST(TxSchedule, ABurstKeepsItsDeadlinesAndAPauseStartsAfresh) {
    TxSchedule s;
    constexpr int64_t BYTE = 10850;
    EXPECT_EQ(tx_schedule_byte(s, 1000, BYTE), 1000 + BYTE);
    // Handed over at the previous end (as a sender that slept until it does).
    EXPECT_EQ(tx_schedule_byte(s, 1000 + BYTE, BYTE), 1000 + 2 * BYTE);
    // Handed over early: it waits for the line.
    EXPECT_EQ(tx_schedule_byte(s, 1000, BYTE), 1000 + 3 * BYTE);
    // After the line was idle, from the hand-over.
    EXPECT_EQ(tx_schedule_byte(s, 100000, BYTE), 100000 + BYTE);
}

}  // namespace

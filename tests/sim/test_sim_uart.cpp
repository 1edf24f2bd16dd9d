// SPDX-License-Identifier: GPL-2.0-or-later
// The UART's registers as a program reaches them: the divisor latch behind
// DLAB, and the line following the divisor a program sets.
#include "device.h"
#include "uart.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

// A handheld whose line is never opened: the test plays both sides.
class Uart : public testing::Test {
protected:
    void SetUp() override {
        d.line.base_baud = 115200;
        d.line.clock_hz = DEFAULT_UART_CLOCK;
        d.line.monitor_divisor = divisor_for(DEFAULT_UART_CLOCK, MONITOR_RATE);
        uart_reset(d);
        uart_program_start(d);
    }
    void set_divisor(uint8_t low, uint8_t high) {
        uart_write_register(d, UART_LCR, LCR_DLAB | LCR_8N1);
        uart_write_register(d, UART_DATA, low);
        uart_write_register(d, UART_IER, high);
        uart_write_register(d, UART_LCR, LCR_8N1);
    }
    void push(uint8_t value, int64_t at, uint32_t host_rate = MONITOR_RATE) {
        ASSERT_TRUE(line_receive(d.line, &value, 1, at, host_rate));
    }
    bool data_ready() { return uart_read_register(d, UART_LSR) & LSR_DATA_READY; }

    Device d;
};

TEST_F(Uart, TheMonitorLeavesTheDivisorFor115200) {
    uart_write_register(d, UART_LCR, LCR_DLAB | LCR_8N1);
    EXPECT_EQ(uart_read_register(d, UART_DATA), 8);
    EXPECT_EQ(uart_read_register(d, UART_IER), 0);
    EXPECT_EQ(line_divisor(d.line), 8u);
}

TEST_F(Uart, WithDlabSetTheFirstTwoRegistersAreTheDivisor) {
    uart_write_register(d, UART_IER, 0x05);  // interrupt enable, not the divisor
    set_divisor(0x34, 0x12);
    EXPECT_EQ(line_divisor(d.line), 0x1234u);
    EXPECT_EQ(uart_read_register(d, UART_IER), 0x05);
    uart_write_register(d, UART_LCR, LCR_DLAB | LCR_8N1);
    EXPECT_EQ(uart_read_register(d, UART_DATA), 0x34);
    EXPECT_EQ(uart_read_register(d, UART_IER), 0x12);
    EXPECT_EQ(uart_read_register(d, UART_LCR), LCR_DLAB | LCR_8N1);
    // Writing the divisor sent nothing.
    EXPECT_EQ(line_counters(d.line).tx_bytes + line_counters(d.line).tx_lost, 0u);
}

TEST_F(Uart, WithDlabSetAWaitingByteStaysInTheReceiveBuffer) {
    push('x', 0);
    ASSERT_EQ(uart_read_register(d, UART_LSR) & LSR_DATA_READY, LSR_DATA_READY);
    uart_write_register(d, UART_LCR, LCR_DLAB | LCR_8N1);
    EXPECT_EQ(uart_read_register(d, UART_DATA), 8);  // the divisor's low byte
    uart_write_register(d, UART_LCR, LCR_8N1);
    EXPECT_EQ(uart_read_register(d, UART_DATA), 'x');
}

TEST_F(Uart, ThePaceFollowsTheDivisor) {
    struct Case {
        uint8_t divisor;
        int64_t byte_ns;
    };
    for (const Case c : {Case{1, 10850}, Case{2, 21701}, Case{8, 86805}}) {
        SCOPED_TRACE(int(c.divisor));
        set_divisor(c.divisor, 0);
        push('a', 1000);
        push('b', 1000);
        std::lock_guard g(d.line.mu);
        ASSERT_EQ(d.line.rx.bytes.size(), 2u);
        EXPECT_EQ(d.line.rx.bytes[0].release_ns, 1000 + c.byte_ns);
        EXPECT_EQ(d.line.rx.bytes[1].release_ns, 1000 + 2 * c.byte_ns);
        d.line.rx = RxQueue{};
    }
}

// Received bytes cross intact only while the host's rate is within 2 % of the UART's.
TEST_F(Uart, AByteFromAHostAtAnotherRateArrivesGarbled) {
    struct Case {
        uint8_t divisor;
        uint32_t host_rate;
        bool intact;
    };
    const Case cases[] = {{8, 115200, true},  {8, 921600, false}, {1, 921600, true},
                          {1, 115200, false}, {8, 117500, true},  {8, 0, false}};
    size_t garbled = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.divisor) + " " + std::to_string(c.host_rate));
        set_divisor(c.divisor, 0);
        push('a', 0, c.host_rate);
        const RxByte b = line_take(d.line);
        EXPECT_EQ(b.value == 'a', c.intact);
        EXPECT_EQ(b.altered, !c.intact);
        garbled += !c.intact;
    }
    EXPECT_EQ(line_counters(d.line).rx_garbled, garbled);
}

// A program sees a queued byte at its release in its own time, however far
// ahead of the real clock it runs.
TEST_F(Uart, AProgramSeesAByteAtItsReleaseInModelledTime) {
    const int64_t start = d.clock.model;
    push('k', start + 50 * UART_ACCESS_NS - d.line.byte_ns);  // released 50 polls from now
    int empty = 0;
    while (!(uart_read_register(d, UART_LSR) & LSR_DATA_READY)) ++empty;
    EXPECT_EQ(empty, 50);
    EXPECT_EQ(uart_read_register(d, UART_DATA), 'k');
    EXPECT_EQ(d.clock.model, start + 51 * UART_ACCESS_NS);
    EXPECT_EQ(d.empty_polls, 50u);
}

// A program that works too long between reads loses bytes in its own time:
// 20 bytes come back to back at 115200 bit/s (86.8 us apart) while the
// program spends `work` instructions at `cpu_mhz` before it takes each one.
struct SlowReaderCase {
    const char* name;
    bool paced;
    unsigned cpu_mhz;
    uint32_t work;
    size_t lost;
};

void PrintTo(const SlowReaderCase& c, std::ostream* os) { *os << c.name; }

class UartSlowReader : public Uart, public testing::WithParamInterface<SlowReaderCase> {};

TEST_P(UartSlowReader, LosesWhatComesWhileSixteenBytesWait) {
    const SlowReaderCase& c = GetParam();
    if (!c.paced) {
        d.line.base_baud = 0;
        uart_reset(d);
    }
    d.options.cpu_mhz = c.cpu_mhz;
    uart_program_start(d);
    const int64_t start = d.clock.model;
    const std::string sent = "abcdefghijklmnopqrst";
    ASSERT_TRUE(line_receive(d.line, reinterpret_cast<const uint8_t*>(sent.data()), sent.size(), start, MONITOR_RATE));

    std::string taken;
    int overrun_seen = 0;
    for (size_t polls = 0; taken.size() + c.lost < sent.size(); ++polls) {
        ASSERT_LT(polls, 1'000'000u) << "taken so far: " << taken;
        const uint8_t status = uart_read_register(d, UART_LSR);
        overrun_seen += (status & LSR_OVERRUN) != 0;
        if (!(status & LSR_DATA_READY)) continue;
        clock_add_instructions(d.clock, c.work);
        taken.push_back(static_cast<char>(uart_read_register(d, UART_DATA)));
    }
    overrun_seen += (uart_read_register(d, UART_LSR) & LSR_OVERRUN) != 0;
    EXPECT_FALSE(data_ready()) << "more came than was sent";
    EXPECT_EQ(taken, sent.substr(0, sent.size() - c.lost)) << "the last ones came while the FIFO was full";
    EXPECT_EQ(line_counters(d.line).rx_overrun, c.lost);
    EXPECT_EQ(overrun_seen, c.lost > 0 ? 1 : 0) << "the overrun bit shows once, until line status is read";
}

INSTANTIATE_TEST_SUITE_P(Cases, UartSlowReader,
                         testing::Values(SlowReaderCase{"quick", true, 100, 100, 0},
                                         // A millisecond before each read: sixteen wait by the time the 18th comes.
                                         SlowReaderCase{"slow", true, 100, 100'000, 3},
                                         // The same millisecond from a thousand instructions on a 1 MHz CPU.
                                         SlowReaderCase{"slow_cpu", true, 1, 1'000, 3},
                                         // An unpaced line keeps everything for the slowest reader.
                                         SlowReaderCase{"unpaced", false, 1, 1'000, 0}),
                         [](const testing::TestParamInfo<SlowReaderCase>& i) { return std::string(i.param.name); });

// A program whose emulation fell a second behind the real clock, polling an
// empty FIFO, skips the idle time, but only up to the next byte's release.
TEST_F(Uart, AProgramFarBehindTheRealClockSkipsIdleTimeUpToTheNextByte) {
    const int64_t behind = d.clock.model - 1'000'000'000;
    d.clock.model = d.clock.last_access = d.clock.known = behind;
    const int64_t release = behind + 5'000'000;
    push('z', release - d.line.byte_ns);
    EXPECT_TRUE(data_ready()) << "the idle time up to the byte was not skipped";
    EXPECT_EQ(d.clock.model, release);
    EXPECT_EQ(uart_read_register(d, UART_DATA), 'z');
    EXPECT_EQ(line_counters(d.line).rx_overrun, 0u);
}

// What a program left in the FIFO is the monitor's to read once it returned.
TEST_F(Uart, BytesLeftInTheFifoGoToTheMonitor) {
    push('x', d.clock.model - d.line.byte_ns);
    ASSERT_TRUE(data_ready());
    uart_program_end(d);
    EXPECT_EQ(line_get(d.line, 0), 'x');
}

}  // namespace

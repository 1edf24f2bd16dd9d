// SPDX-License-Identifier: GPL-2.0-or-later
// A program's modelled time: its instructions at the CPU's clock, and the
// UART accesses that last a microsecond, the instructions between included.
#include "program_clock.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct AccessCase {
    const char* name;
    unsigned cpu_mhz;
    uint32_t instructions;  // between two UART accesses
    int64_t apart_ns;       // time from one access to the next
};

class ProgramClockAccess : public testing::TestWithParam<AccessCase> {};

TEST_P(ProgramClockAccess, AccessesLastAMicrosecondOrTheirInstructions) {
    const AccessCase& c = GetParam();
    ProgramClock clock = program_clock_start(1'000'000, c.cpu_mhz);
    int64_t last = clock_access(clock);
    EXPECT_EQ(last, 1'000'000) << "the first access waits for nothing";
    for (int i = 0; i < 3; ++i) {
        clock_add_instructions(clock, c.instructions);
        const int64_t now = clock_access(clock);
        EXPECT_EQ(now - last, c.apart_ns) << "access " << i + 1;
        last = now;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgramClockAccess,
                         testing::Values(
                             // A polling loop of four instructions: the access's microsecond covers it.
                             AccessCase{"poll_loop", 100, 4, 1000}, AccessCase{"back_to_back", 100, 0, 1000},
                             // Work between accesses beyond a microsecond counts in full.
                             AccessCase{"work_2us", 100, 200, 2000},
                             // On a 1 MHz CPU the same four instructions take four microseconds.
                             AccessCase{"slow_cpu", 1, 4, 4000}),
                         [](const testing::TestParamInfo<AccessCase>& i) { return std::string(i.param.name); });

// The loader's time-out: 5,000,000 polls of a five-instruction loop (load,
// test, branch, delay slot, count) from one poll to the one after the last.
TEST(ProgramClock, FiveMillionEmptyPollsAreFiveSeconds) {
    ProgramClock clock = program_clock_start(0, DEFAULT_CPU_MHZ);
    clock_add_instructions(clock, 5);
    const int64_t first = clock_access(clock);
    int64_t last = first;
    for (int i = 0; i < 5'000'000; ++i) {
        clock_add_instructions(clock, 5);
        last = clock_access(clock);
    }
    EXPECT_EQ(last - first, 5'000'000'000);
}

// At 3 MHz a cycle is 333.333 ns: folded one at a time, the thirds of a
// nanosecond must not be dropped (that would lose a thousandth).
TEST(ProgramClock, FractionsOfANanosecondAddUp) {
    ProgramClock clock = program_clock_start(0, 3);
    for (int i = 0; i < 3000; ++i) {
        clock_add_instructions(clock, 1);
        clock_fold(clock);
    }
    EXPECT_EQ(clock.model, 999'999);
}

}  // namespace

// Loads from the flash stall the program a NOR read for each 16 bits: a byte
// or a halfword one read, a word two; the instructions count besides.
TEST(ProgramClock, FlashLoadsTakeAReadForEachSixteenBits) {
    struct Case {
        unsigned load_bytes;
        unsigned read_ns;
        int64_t expected_ns;  // 1000 loads and their 1000 instructions at 100 MHz (10 us)
    };
    const Case cases[] = {{1, 100, 110'000}, {2, 100, 110'000}, {4, 100, 210'000}, {4, 70, 150'000}};
    for (const Case& c : cases) {
        ProgramClock clock = program_clock_start(0, DEFAULT_CPU_MHZ, c.read_ns);
        for (int i = 0; i < 1000; ++i) {
            clock_add_instructions(clock, 1);
            clock_add_flash_load(clock, c.load_bytes);
        }
        clock_fold(clock);
        EXPECT_EQ(clock.model, c.expected_ns) << c.load_bytes << " bytes at " << c.read_ns << " ns";
    }
}

// SPDX-License-Identifier: GPL-2.0-or-later
// qz4sim's command line: values it takes and the ones it refuses.
#include "options.h"

#include <gtest/gtest.h>

namespace {

TEST(SimOptions, RefusesValuesThatMakeNoSense) {
    const std::vector<std::vector<std::string>> refused = {
        {"--rx-drop", "1.5"},
        {"--rx-corrupt", "-0.1"},
        {"--tx-noise", "x"},
        {"--burst", "0"},
        {"--burst", "133"},
        {"--flash-size", "0x1001"},
        {"--flash-size", "0"},
        {"--baud", "-1"},
        {"--silent-after"},
        {"--compare", "0x100"},
        {"--no-such-switch"},
        {"--seed", "12abc"},
        {"--rx-swap", "1.01"},
        {"--rx-swap"},
        // Clocks that cannot make the monitor's 115200 bit/s within 2 %.
        {"--uart-clock", "1000000"},
        {"--uart-clock", "0"},
        {"--uart-clock", "x"},
        {"--cpu-mhz", "0"},
        {"--cpu-mhz", "1.5"},
        {"--flash-read-ns", "100001"},
        {"--adapter-latency", "256"},
        {"--adapter-latency", "-1"},
    };
    for (const auto& args : refused) {
        SCOPED_TRACE(args[0]);
        SimOptions o;
        std::string error;
        EXPECT_FALSE(parse_sim_options(args, o, error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(SimOptions, TakesFaultsPacingAndInspectionModes) {
    SimOptions o;
    std::string error;
    EXPECT_EQ(o.uart_clock, 14745600u);
    EXPECT_EQ(o.cpu_mhz, 100u);
    EXPECT_EQ(o.adapter_latency_ms, 0u);
    EXPECT_EQ(o.flash_read_ns, 100u);
    ASSERT_TRUE(parse_sim_options(
        {"--baud",         "115200", "--rx-corrupt",      "0.25",     "--burst",      "4",       "--seed",    "0x10",
         "--hangup-after", "200000", "--flash-size",      "0x800000", "--uart-clock", "1843200", "--rx-swap", "0.125",
         "--cpu-mhz",      "4",      "--adapter-latency", "16",       "--flash-read-ns", "70"},
        o, error))
        << error;
    EXPECT_EQ(o.cpu_mhz, 4u);
    EXPECT_EQ(o.flash_read_ns, 70u);
    EXPECT_EQ(o.adapter_latency_ms, 16u);
    EXPECT_EQ(o.baud, 115200u);
    EXPECT_EQ(o.uart_clock, 1843200u);
    EXPECT_DOUBLE_EQ(o.faults.rx_corrupt, 0.25);
    EXPECT_EQ(o.faults.burst, 4u);
    EXPECT_DOUBLE_EQ(o.faults.rx_swap, 0.125);
    EXPECT_EQ(o.faults.seed, 16u);
    EXPECT_EQ(o.faults.hangup_after, 200000);
    EXPECT_EQ(o.faults.silent_after, -1);
    EXPECT_EQ(o.flash_size, 0x800000u);
    EXPECT_EQ(o.mode, SimOptions::Mode::simulate);

    SimOptions c;
    ASSERT_TRUE(parse_sim_options({"--flash", "f.bin", "--compare", "0x200000", "img"}, c, error)) << error;
    EXPECT_EQ(c.mode, SimOptions::Mode::compare);
    EXPECT_EQ(c.inspect_offset, 0x200000u);
    EXPECT_EQ(c.compare_image, "img");
}

}  // namespace

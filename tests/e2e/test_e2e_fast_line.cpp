// SPDX-License-Identifier: GPL-2.0-or-later
// kelvane -b against the simulated handheld: the loader's second stage moves
// the UART's divisor for the transfer and takes the packets as a stream, the simulator garbles every byte while the
// host's termios speed and the handheld's rate disagree, and its report says
// which divisor the last program left. Whatever happens, the handheld's UART
// must be back at the monitor's divisor after the run.
#include "e2e/e2e_run.h"

#include <gmock/gmock.h>

#include <filesystem>

namespace {

using testing::HasSubstr;
using testing::Not;

constexpr uint32_t KERNEL = 0;
constexpr uint32_t ROMDISK = 0x200000;

using E2eFastLine = EndToEnd;

// "uart: divisor D, ..., monitor's divisor M, N programs left another"
void expect_uart_as_the_monitor_left_it(const std::string& report, unsigned monitor_divisor) {
    EXPECT_THAT(report, HasSubstr("uart: divisor " + std::to_string(monitor_divisor) + ","));
    EXPECT_THAT(report,
                HasSubstr("monitor's divisor " + std::to_string(monitor_divisor) + ", 0 programs left another"));
}

TEST_F(E2eFastLine, FlashesAt921600ByteForByte) {
    start_sim();
    const std::string image = make_image("vmlinux", 200003, 21);  // 195 1K packets and a tail
    const testkit::RunResult run = kelvane({"-b", "921600", dir.file("vmlinux"), "kernel"});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_THAT(run.err, Not(HasSubstr("Notice:")));
    EXPECT_THAT(run.err, Not(HasSubstr("Warning:")));
    // The run says which rate its transfer got.
    EXPECT_THAT(run.err, testing::ContainsRegex("\nTransfer ran at 921600 bit/s: 200003 bytes in [0-9.]+ s \\([0-9]+ "
                                                "bytes/s\\)\n"));
    const std::string report = stop_sim();
    EXPECT_EQ(flash().substr(KERNEL, image.size()), image);
    // The simulator sees each streamed packet answered: 195 of 1031 bytes, 3 of 135.
    EXPECT_EQ(report_number(report, "packets", "answered"), 198) << report;
    EXPECT_EQ(report_number(report, "program run", "packets accepted"), 198) << report;
    EXPECT_EQ(report_number(report, "records", "loads completed"), 2) << "the loader and its second stage";
    expect_uart_as_the_monitor_left_it(report, 8);
}

// -b 115200: the divisor never moves, yet the image goes in 1K packets.
TEST_F(E2eFastLine, SendsKilobytePacketsAtTheMonitorsOwnRate) {
    start_sim();
    const std::string image = make_image("vmlinux", 200003, 26);  // 195 1K packets and 3 of 128 bytes
    const testkit::RunResult run = kelvane({"-b", "115200", dir.file("vmlinux"), "kernel"});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_THAT(run.err, Not(HasSubstr("Notice:")));
    const std::string report = stop_sim();
    EXPECT_EQ(flash().substr(KERNEL, image.size()), image);
    // In 128-byte packets alone the image takes 1563; in 1K packets 195 and a tail of 3.
    EXPECT_EQ(report_number(report, "program run", "packets accepted"), 198) << report;
    expect_uart_as_the_monitor_left_it(report, 8);
}

TEST_F(E2eFastLine, FallsBackTo115200WhenTheClockCannotMakeTheRate) {
    start_sim({"--uart-clock", "1843200"});
    const std::string image = make_image("vmlinux", 70001, 22);
    const testkit::RunResult run = kelvane({"-b", "921600", dir.file("vmlinux"), "kernel"});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_THAT(run.err, HasSubstr("done\nNotice:  the handheld cannot run its line at 921600 bit/s; sending at "
                                   "115200.\nStarting xmodem send"));
    const std::string report = stop_sim();
    EXPECT_EQ(flash().substr(KERNEL, image.size()), image);
    expect_uart_as_the_monitor_left_it(report, 1);
}

TEST_F(E2eFastLine, FlashesTwoImagesInOneRunEachAtTheFastRate) {
    start_sim();
    const KernelAndCramfs result = flash_kernel_and_cramfs({"-b", "921600"}, 23);
    EXPECT_THAT(result.run.err, Not(HasSubstr("Notice:")));
    const std::string& report = result.report;
    EXPECT_EQ(report_number(report, "records", "loads completed"), 2);  // the loader and its second stage, once
    EXPECT_EQ(report_number(report, "programs", "returned"), 2);
    expect_uart_as_the_monitor_left_it(report, 8);
}

// N of the report's "uart: N bytes lost to overrun"; -1 without that line.
long long overrun_bytes(const std::string& report) {
    const std::string suffix = " bytes lost to overrun\n";
    const size_t end = report.find(suffix);
    const size_t start = report.rfind("uart: ", end);
    if (end == std::string::npos || start == std::string::npos) return -1;
    return std::stoll(report.substr(start + 6, end - start - 6));
}

// On a line paced like the handheld's, the UART holds 16 received bytes. The
// loader keeps up with kilobyte packets at 921600 bit/s on the default CPU;
// on one too slow for the rate it loses bytes to overrun, and the run must
// then fall back or fail with the flash untouched, never flash wrong data.
TEST_F(E2eFastLine, OnAPacedLineTheLoaderKeepsUpOrTheRunFailsCleanly) {
    const struct {
        const char* cpu_mhz;
        bool overruns;
    } cases[] = {{"100", false}, {"2", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.cpu_mhz) + " MHz");
        start_sim_on_fresh_flash({"--baud", "115200", "--cpu-mhz", c.cpu_mhz});
        const std::string image = make_image("vmlinux", 30000, 26);  // 29 1K packets and a tail
        const testkit::RunResult run = kelvane({"-b", "921600", dir.file("vmlinux"), "kernel"});
        const std::string report = stop_sim();
        const long long lost = overrun_bytes(report);
        const Outcome outcome = judge_run(run.exit_status, flash(), KERNEL, image);
        if (!c.overruns) {
            EXPECT_EQ(outcome, Outcome::flashed) << run.err << report;
            EXPECT_EQ(lost, 0) << report;
            continue;
        }
        EXPECT_GT(lost, 0) << report;
        EXPECT_TRUE(outcome == Outcome::flashed || outcome == Outcome::refused_untouched)
            << outcome_name(outcome) << "\n"
            << run.err << report;
    }
}

// Faults on the line while the fast entry runs, the negotiation included: a
// run falls back or fails, never with wrong data and status 0, and the UART
// is always given back.
TEST_F(E2eFastLine, FaultsDuringTheNegotiationFallBackOrFailCleanly) {
    const struct {
        const char* what;
        std::vector<std::string> sim_args;
    } cases[] = {
        {"the request or a probe lost", {"--rx-drop", "0.2", "--seed", "5"}},
        {"the request or a probe damaged", {"--rx-corrupt", "0.2", "--seed", "6"}},
        {"the offer or an answer damaged", {"--tx-corrupt", "0.05", "--seed", "7"}},
        {"noise towards the host", {"--tx-noise", "0.05", "--seed", "8"}},
        {"noise towards the handheld", {"--rx-noise", "0.2", "--seed", "9"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        start_sim_on_fresh_flash(c.sim_args);
        const std::string image = make_image("vmlinux", 1000, 25);  // a tail only: a few packets
        const testkit::RunResult run = kelvane({"-b", "921600", dir.file("vmlinux"), "kernel"});
        const std::string report = stop_sim();
        const Outcome outcome = judge_run(run.exit_status, flash(), KERNEL, image);
        EXPECT_TRUE(outcome == Outcome::flashed || outcome == Outcome::refused_untouched)
            << outcome_name(outcome) << "\n"
            << run.err << report;
        expect_uart_as_the_monitor_left_it(report, 8);
    }
}

// The stream through an adapter that holds the handheld's answers for 16 ms,
// whole and with one kind of line fault at a time: every run ends 0 with the
// image, since each fault costs at most a go-back.
TEST_F(E2eFastLine, AStreamThroughALateAdapterGetsEveryImageInDespiteEachFault) {
    const struct {
        const char* what;
        long long size;
        std::vector<std::string> sim_args;
        const char* fault;  // its count in the report's "faults:" line
    } cases[] = {
        {"4 MiB, no fault", 4 << 20, {}, nullptr},  // as a romdisk: larger than a kernel may be
        {"a corrupted byte", 200000, {"--rx-corrupt", "0.00001", "--seed", "31"}, "rx corrupted"},
        {"a burst of 4 corrupted bytes", 200000, {"--rx-corrupt", "0.00001", "--burst", "4", "--seed", "32"},
         "rx corrupted"},
        {"an inserted byte", 200000, {"--rx-noise", "0.00001", "--seed", "33"}, "rx inserted"},
        {"a lost byte", 200000, {"--rx-drop", "0.00003", "--seed", "34"}, "rx dropped"},
        // One damaged answer (a fault on the verdict's text would fail the run, cleanly).
        {"a damaged byte toward the host", 200000, {"--tx-corrupt", "0.001", "--seed", "35"}, "tx corrupted"},
        {"an extra byte toward the host", 200000, {"--tx-noise", "0.004", "--seed", "38"}, "tx inserted"},
        {"two data bytes swapped", 200000, {"--rx-swap", "0.01", "--seed", "36"}, "rx swapped"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> sim_args{"--adapter-latency", "16"};
        sim_args.insert(sim_args.end(), c.sim_args.begin(), c.sim_args.end());
        start_sim_on_fresh_flash(sim_args);
        const bool large = c.size > 0x200000;
        const std::string image = make_image("image", c.size, 27);
        const testkit::RunResult run = kelvane({"-b", "921600", dir.file("image"), large ? "romdisk" : "kernel"});
        const std::string report = stop_sim();
        EXPECT_EQ(run.exit_status, 0) << run.err << report;
        EXPECT_EQ(judge_run(run.exit_status, flash(), large ? ROMDISK : KERNEL, image), Outcome::flashed) << report;
        if (c.fault != nullptr) {
            EXPECT_GE(report_number(report, "faults", c.fault), 1) << report;
        }
        EXPECT_EQ(report_number(report, "packets", "damaged accepted"), 0) << report;
        EXPECT_EQ(report_number(report, "monitor", "packet bytes"), 0) << report;
        expect_uart_as_the_monitor_left_it(report, 8);
    }
}

}  // namespace

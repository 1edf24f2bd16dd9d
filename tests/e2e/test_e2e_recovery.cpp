// SPDX-License-Identifier: GPL-2.0-or-later
// Runs that meet a handheld left in a bad state: by a run killed with SIGKILL
// (which can clean up nothing: the port stays exclusive, the monitor stays in
// "load" or our receiver keeps running), and by a flash command the monitor
// refuses. The next good run gets the monitor back and flashes.
#include <unistd.h>

#include <csignal>
#include <ostream>

#include "e2e/e2e_run.h"
#include "support/port_state.h"
#include "testkit/background.h"

namespace {

constexpr int RUN_MS = 120000;  // guards a hung run

struct Kill {
    const char* name;
    std::string started;  // the run's own announcement of the phase
    std::string key;      // the report's count that shows the phase well under way
    std::string label;
    long long at_least;
    long long loads_completed;  // by both runs
};

void PrintTo(const Kill& c, std::ostream* os) { *os << c.name; }

const Kill KILLS[] = {
    // The monitor is left in "load", most likely in the middle of a record:
    // the next run's recovery ends that load with the loader's end record.
    {"during_the_loader_upload", "Starting etxack send (xmodem-load)...", "records", "acked", 20, 2},
    // Our receiver is left running, most likely in the middle of a packet.
    {"during_the_transfer", "Starting xmodem send - ", "packets", "answered", 20, 2},
};

class KilledRun : public EndToEnd, public testing::WithParamInterface<Kill> {};

TEST_P(KilledRun, IsFollowedByAGoodRun) {
    const Kill& c = GetParam();
    // A paced line, so that the phase lasts long enough to be cut.
    start_sim({"--baud", "115200"});
    make_image("rootfs.img", 0x40000, 41);
    testkit::BackgroundOptions options;
    options.cwd = dir.path();
    testkit::BackgroundRun killed(KELVANE_BINARY, {"-s", sim->port(), dir.file("rootfs.img"), "romdisk"}, options);
    ASSERT_TRUE(killed.wait_for(c.started, RUN_MS)) << killed.err();
    const std::string before = report_reaching(c.key, c.label, c.at_least, RUN_MS);
    ASSERT_GE(report_number(before, c.key, c.label), c.at_least) << before;
    killed.signal(SIGKILL);
    EXPECT_EQ(killed.finish(RUN_MS).signal, SIGKILL);
    EXPECT_TRUE(port_exclusive(sim->tty())) << "the killed run could not clear it";

    const std::string kernel = make_image("vmlinux", 3000, 43);
    const testkit::RunResult next = kelvane({dir.file("vmlinux"), "kernel"});
    EXPECT_EQ(next.exit_status, 0) << next.err;
    EXPECT_FALSE(port_exclusive(sim->tty()));
    const std::string report = stop_sim();
    EXPECT_EQ(flash().substr(0, kernel.size()), kernel);
    EXPECT_EQ(report_number(report, "records", "loads completed"), c.loads_completed) << report;
    // The receiver left running was stopped: every program came back.
    EXPECT_EQ(report_number(report, "programs", "returned"), report_number(report, "programs", "started")) << report;
    EXPECT_EQ(report_number(report, "monitor", "packet bytes"), 0) << report;
}

INSTANTIATE_TEST_SUITE_P(Phases, KilledRun, testing::ValuesIn(KILLS),
                         [](const auto& info) { return std::string(info.param.name); });

using MonitorRefusal = EndToEnd;

// A handheld with a smaller flash refuses a range our plan allows. Nothing is
// typed into its command line after the refusal, and the next run flashes.
TEST_F(MonitorRefusal, EndsTheRunWithTheMonitorsReasonAndTypesNothing) {
    start_sim({"--flash-size", "0x400000"});
    make_image("rootfs.img", 0x1000, 45);
    const testkit::RunResult refused = kelvane({dir.file("rootfs.img"), "0x800000"});
    EXPECT_EQ(refused.exit_status, 1);
    EXPECT_TRUE(refused.err.ends_with(
        "Sending flash command...\nError:  the monitor refused the flash command: 'flash: range outside the flash'.  "
        "Aborting.\n\n"))
        << refused.err;

    const std::string kernel = make_image("vmlinux", 3000, 47);
    const testkit::RunResult next = kelvane({"-X", dir.file("vmlinux"), "kernel"});
    EXPECT_EQ(next.exit_status, 0) << next.err;
    const std::string report = stop_sim();
    EXPECT_EQ(flash().substr(0, kernel.size()), kernel);
    EXPECT_EQ(report_number(report, "records", "loads completed"), 1) << report;
    EXPECT_NE(report.find("programmed: 0x000000..0x01ffff"), std::string::npos) << report;
    EXPECT_EQ(report.find("0x800000"), std::string::npos) << report;
}

}  // namespace

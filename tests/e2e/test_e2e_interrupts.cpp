// SPDX-License-Identifier: GPL-2.0-or-later
// Runs cut short from outside: SIGINT, SIGTERM, SIGHUP and SIGQUIT during the split and
// during a transfer, and a line that hangs up while the run waits for the
// handheld. An interrupted run leaves no piece behind, gives the port's
// exclusive mode back, stops the receiver it started and ends by the signal
// itself.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <ostream>
#include <thread>

#include "e2e/e2e_run.h"
#include "support/port_state.h"
#include "testkit/background.h"

namespace {

constexpr long long SPLIT_IMAGE = 0x680000;
constexpr long long FIRST_PIECE = 0x500000;
constexpr int RUN_MS = 120000;  // guards a hung run; an interrupted one ends in a moment
const std::string NO_PORT = "kelvane-no-such-port";

enum class Phase {
    split,     // the first piece made and filled, the second not yet begun
    transfer,  // the first piece on its way over a paced line
};

struct Interrupt {
    const char* name;
    Phase phase;
    std::vector<int> sent;  // in this order
    int ending;             // the signal that ends the run
    std::vector<int> ignored_at_start = {};
};

// A failing case is named, not dumped byte by byte.
void PrintTo(const Interrupt& c, std::ostream* os) { *os << c.name; }

const Interrupt INTERRUPTS[] = {
    {"sigint_during_split", Phase::split, {SIGINT}, SIGINT},
    {"sigterm_during_split", Phase::split, {SIGTERM}, SIGTERM},
    {"sigint_during_transfer", Phase::transfer, {SIGINT}, SIGINT},
    {"sigterm_during_transfer", Phase::transfer, {SIGTERM}, SIGTERM},
    {"sighup_during_transfer", Phase::transfer, {SIGHUP}, SIGHUP},
    {"sigquit_during_split", Phase::split, {SIGQUIT}, SIGQUIT},
    {"sigquit_during_transfer", Phase::transfer, {SIGQUIT}, SIGQUIT},
    // A background job of a non-interactive shell: CTRL-C is not meant for it.
    {"sigint_ignored_at_start", Phase::transfer, {SIGINT, SIGTERM}, SIGTERM, {SIGINT}},
};

class Interrupted : public EndToEnd, public testing::WithParamInterface<Interrupt> {
protected:
    std::string piece(int number) const { return dir.file("rootfs.img." + std::to_string(number)); }

    testkit::BackgroundOptions options_for(const Interrupt& c) const {
        testkit::BackgroundOptions options;
        options.cwd = dir.path();
        options.ignored_signals = c.ignored_at_start;
        return options;
    }

    // Stops the run in its write of the first piece's "done": standard error
    // takes exactly the texts before it.
    std::unique_ptr<testkit::BackgroundRun> stopped_in_split(const Interrupt& c) {
        const std::string before = "\nRomdisk larger than 0x670000.  Splitting into:\n  " + piece(1) + " ...";
        testkit::BackgroundOptions options = options_for(c);
        options.stderr_room = static_cast<long>(before.size());
        auto run = std::make_unique<testkit::BackgroundRun>(
            KELVANE_BINARY,
            std::vector<std::string>{"-t", dir.path(), "-s", NO_PORT, dir.file("rootfs.img"), "romdisk"}, options);
        // Once the first piece is full, the run can only be waiting to say so.
        // (Reading standard error here would let it go on.)
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(RUN_MS);
        struct stat status {};
        while ((stat(piece(1).c_str(), &status) != 0 || status.st_size < FIRST_PIECE) &&
               std::chrono::steady_clock::now() < give_up)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return run;
    }

    std::unique_ptr<testkit::BackgroundRun> sending(const Interrupt& c) {
        start_sim({"--baud", "115200"});
        auto run = std::make_unique<testkit::BackgroundRun>(
            KELVANE_BINARY,
            std::vector<std::string>{"-t", dir.path(), "-s", sim->port(), dir.file("rootfs.img"), "romdisk"},
            options_for(c));
        EXPECT_TRUE(run->wait_for("Starting xmodem send - " + piece(1) + "...\n", RUN_MS)) << run->err();
        return run;
    }
};

TEST_P(Interrupted, RemovesThePiecesFreesThePortAndEndsByTheSignal) {
    const Interrupt& c = GetParam();
    make_image("rootfs.img", SPLIT_IMAGE, 31);
    const auto run = c.phase == Phase::split ? stopped_in_split(c) : sending(c);
    for (const int sig : c.sent) run->signal(sig);
    if (c.phase == Phase::split) {
        EXPECT_TRUE(run->wait_until_blocked(c.ending, RUN_MS));
    }
    const testkit::BackgroundEnd end = run->finish(RUN_MS);

    EXPECT_EQ(end.signal, c.ending) << end.err;
    const std::string removing1 = "Cleanup removing " + piece(1) + " ...done\n";
    const std::string removing2 = "Cleanup removing " + piece(2) + " ...done\n";
    if (c.phase == Phase::split) {
        // The second piece was never begun; the first was not on the job list yet.
        EXPECT_EQ(end.err, "\nRomdisk larger than 0x670000.  Splitting into:\n  " + piece(1) + " ..." + removing1);
    } else {
        EXPECT_TRUE(end.err.ends_with(removing1 + removing2)) << end.err;
        EXPECT_FALSE(port_exclusive(sim->tty()));
        // The receiver was stopped and is back at the monitor: a run started
        // right after finds the prompt and flashes.
        const std::string kernel = make_image("vmlinux", 3000, 33);
        const testkit::RunResult next = kelvane({dir.file("vmlinux"), "kernel"});
        EXPECT_EQ(next.exit_status, 0) << next.err;
        const std::string report = stop_sim();
        EXPECT_EQ(flash().substr(0, kernel.size()), kernel);
        EXPECT_EQ(report_number(report, "programs", "started"), 2) << report;
        EXPECT_EQ(report_number(report, "programs", "returned"), 2) << report;
        EXPECT_EQ(report_number(report, "monitor", "packet bytes"), 0) << report;
    }
    EXPECT_FALSE(std::filesystem::exists(piece(1)));
    EXPECT_FALSE(std::filesystem::exists(piece(2)));
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted, testing::ValuesIn(INTERRUPTS),
                         [](const auto& info) { return std::string(info.param.name); });

// An adapter unplugged while the run waits for the handheld's first byte: the
// kernel hangs the terminal up, and every read returns nothing at once. The
// wait ends instead of spinning, and the next step fails with its own message.
// What is bounded is the CPU the run burns; the wall-time limit only guards
// against a run that never ends. The handheld stays silent, so the wait goes
// on until the hang-up.
using HungUpLine = EndToEnd;

TEST_F(HungUpLine, EndsTheWaitForTheHandheldWithoutSpinning) {
    if (geteuid() != 0) GTEST_SKIP() << "hanging up a terminal (TIOCVHANGUP) needs root";
    constexpr double CPU_LIMIT_SECONDS = 2.0;  // a whole short run costs a fraction of that
    constexpr int GUARD_MS = 20000;
    start_sim({"--silent-after", "0"});
    make_image("vmlinux", 3000, 32);
    testkit::BackgroundRun run(KELVANE_BINARY, {"-s", sim->port(), dir.file("vmlinux"), "kernel"});
    // Once the handheld has the carriage return, the run is in its wait.
    report_reaching("line", "bytes received", 1, RUN_MS);

    const int fd = open(sim->tty().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ioctl(fd, TIOCVHANGUP), 0);
    close(fd);
    const testkit::BackgroundEnd end = run.finish(GUARD_MS);
    EXPECT_EQ(end.exit_status, 1) << end.err;
    EXPECT_TRUE(
        end.err.ends_with("Waiting for input from port (CTRL-C to exit)...done\n\n"
                          "Looking for PMON prompt...\n"
                          "Error:  port_send unable to write to serial port - Input/output error\n\n"))
        << end.err;
    EXPECT_LT(end.cpu_seconds, CPU_LIMIT_SECONDS);
}

}  // namespace

// CTRL-C while the monitor programs the flash: the monitor goes on by itself,
// so the run says so, names the range that may hold part of the image and
// what to do, before its cleanup lines; the monitor then finishes the image.
using InterruptedProgramming = EndToEnd;

TEST_F(InterruptedProgramming, TellsWhatTheFlashMayHoldAndToRunAgain) {
    constexpr int BLOCK_MS = 5000;  // the signal comes within the two blocks even on a busy machine
    start_sim({"--block-ms", std::to_string(BLOCK_MS)});
    const std::string image = make_image("rootfs.img", 0x30000, 34);  // two blocks at 0x200000
    testkit::BackgroundOptions options;
    options.cwd = dir.path();
    testkit::BackgroundRun run(KELVANE_BINARY, {"-s", sim->port(), dir.file("rootfs.img"), "romdisk"}, options);
    ASSERT_TRUE(run.wait_for("Sending flash command...done\n", RUN_MS)) << run.err();
    run.signal(SIGINT);
    const testkit::BackgroundEnd end = run.finish(RUN_MS);
    EXPECT_EQ(end.signal, SIGINT) << end.err;
    EXPECT_TRUE(end.err.ends_with(
        "\nInterrupted while the monitor programs the flash.  The monitor finishes programming on its own; until it "
        "does, flash 0x200000 to 0x23ffff may hold a partial image.  Run the same command again once its prompt is "
        "back.\n"))
        << end.err;
    EXPECT_FALSE(port_exclusive(sim->tty()));
    // The monitor programmed the image all the same.
    EXPECT_EQ(report_number(report_reaching("programmed", "blocks", 2, RUN_MS), "programmed", "blocks"), 2);
    stop_sim();
    EXPECT_EQ(flash().substr(0x200000, image.size()), image);
}

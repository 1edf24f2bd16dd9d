// SPDX-License-Identifier: GPL-2.0-or-later
// The streamed line (-b) end to end: every frame written once on a clean line,
// whatever the image holds; a port with a serial driver's defaults; a lost
// answer at the end; a run stopped or cut short in the middle of the stream.
// Whatever happens, the receiver is back at the monitor when the run ends
// (as many programs returned as started), and no byte of the stream reaches
// the monitor's command line.
#include <termios.h>
#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include "e2e/e2e_run.h"
#include "testkit/background.h"

namespace {

constexpr uint32_t KERNEL = 0;
constexpr int RUN_MS = 120000;  // guards a hung run

class E2eStream : public EndToEnd {
protected:
    // Until the handheld has received nothing for a few of the report's polls.
    void wait_until_line_quiet() {
        constexpr int QUIET_POLLS = 5;
        long long last = -1;
        for (int same = 0; same < QUIET_POLLS;) {
            const long long now =
                report_number(report_reaching("line", "bytes received", 0, RUN_MS), "line", "bytes received");
            same = now == last ? same + 1 : 0;
            last = now;
        }
    }
};

// Frames of a stream of size bytes: whole kilobytes, then 128-byte frames,
// the last one filled (all filler when the size is a multiple of 128).
long long frames_of(long long size) { return size / 1024 + size % 1024 / 128 + 1; }

void expect_receiver_back_and_monitor_clean(const std::string& report) {
    EXPECT_EQ(report_number(report, "programs", "returned"), report_number(report, "programs", "started")) << report;
    EXPECT_EQ(report_number(report, "programs", "faulted"), 0) << report;
    EXPECT_EQ(report_number(report, "monitor", "packet bytes"), 0) << report;
}

// An image whose bytes look like the old stream's headers and ends (SOH or STX,
// a block number and its complement; EOT, ~EOT; CAN, CAN) and like frame ends.
std::string protocol_like_image(long long size, int every) {
    const std::string triples[] = {"\x01\x04\xfb", "\x02\x04\xfb", "\x04\xfb", "\x18\x18", std::string(3, '\0')};
    std::string image(static_cast<size_t>(size), 'x');
    for (long long at = 0, n = 0; at + 3 <= size; at += every, ++n) {
        const std::string& t = triples[n % 5];
        image.replace(static_cast<size_t>(at), t.size(), t);
    }
    return image;
}

TEST_F(E2eStream, ACleanLineWritesEveryFrameOnce) {
    const struct {
        long long size;
        const char* rate;
        int adapter_ms;
    } cases[] = {
        {500, "921600", 0},     {3072, "921600", 0},  {20480, "921600", 16},
        {307200, "921600", 16}, {3100, "115200", 16}, {11264, "921600", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " bytes at " + c.rate + ", adapter " + std::to_string(c.adapter_ms));
        start_sim_on_fresh_flash({"--adapter-latency", std::to_string(c.adapter_ms)});
        const std::string image = make_image("vmlinux", c.size, 40);
        const testkit::RunResult run = kelvane({"-b", c.rate, dir.file("vmlinux"), "kernel"});
        const std::string report = stop_sim();
        EXPECT_EQ(run.exit_status, 0) << run.err << report;
        EXPECT_EQ(judge_run(run.exit_status, flash(), KERNEL, image), Outcome::flashed) << report;
        EXPECT_EQ(report_number(report, "program run", "packets accepted"), frames_of(c.size)) << report;
        EXPECT_EQ(report_number(report, "stream", "NAKs sent"), 0) << report;
        EXPECT_EQ(report_number(report, "stream", "packets"), 0) << report;
        EXPECT_EQ(report_number(report, "stream", "bytes"), 0) << report;
        expect_receiver_back_and_monitor_clean(report);
    }
}

// Image data that looks like protocol: stored as it is, and never read as a
// header, an end or a give-up.
TEST_F(E2eStream, ImageBytesThatLookLikeProtocolAreJustData) {
    for (const int every : {64, 7, 3}) {
        SCOPED_TRACE("a pattern every " + std::to_string(every) + " bytes");
        start_sim_on_fresh_flash();
        const std::string image = protocol_like_image(70000, every);
        testkit::write_file(dir.file("vmlinux"), image);
        const testkit::RunResult run = kelvane({"-b", "921600", dir.file("vmlinux"), "kernel"});
        const std::string report = stop_sim();
        EXPECT_EQ(judge_run(run.exit_status, flash(), KERNEL, image), Outcome::flashed) << run.err << report;
        EXPECT_EQ(report_number(report, "stream", "NAKs sent"), 0) << report;
        expect_receiver_back_and_monitor_clean(report);
    }
}

// A port as a serial driver hands it, CR to LF translation on: the answers
// whose block or complement is a carriage return (blocks 13 and 114) still
// arrive as they were sent.
TEST_F(E2eStream, APortThatTranslatesCarriageReturnsStillStreams) {
    start_sim();
    {
        const int fd = open(sim->tty().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        termios settings{};
        ASSERT_EQ(tcgetattr(fd, &settings), 0);
        settings.c_iflag |= ICRNL;
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &settings), 0);
        close(fd);
    }
    const std::string image = make_image("vmlinux", 120 * 1024, 41);  // past block 114
    const testkit::RunResult run = kelvane({"-b", "921600", dir.file("vmlinux"), "kernel"});
    const std::string report = stop_sim();
    EXPECT_EQ(judge_run(run.exit_status, flash(), KERNEL, image), Outcome::flashed) << run.err << report;
    EXPECT_EQ(report_number(report, "stream", "NAKs sent"), 0) << report;
    expect_receiver_back_and_monitor_clean(report);
}

// Answers damaged on their way to the host, the last ones among them: a lost
// answer to the end is answered again, and nothing goes to the monitor.
TEST_F(E2eStream, AnAnswerLostOnTheWayBackEndsCleanly) {
    for (const char* seed : {"4", "5", "6"}) {
        SCOPED_TRACE(std::string("seed ") + seed);
        start_sim_on_fresh_flash({"--seed", seed, "--tx-corrupt", "0.2"});
        const std::string image = make_image("image", 9000, 42);
        const testkit::RunResult run = kelvane({"-b", "921600", dir.file("image"), "0x400000"});
        const std::string report = stop_sim();
        const Outcome outcome = judge_run(run.exit_status, flash(), 0x400000, image);
        EXPECT_TRUE(outcome == Outcome::flashed || outcome == Outcome::refused_untouched)
            << outcome_name(outcome) << "\n"
            << run.err << report;
        expect_receiver_back_and_monitor_clean(report);
    }
}

// A run cut short or paused in the middle of the stream over a paced line.
// Cut short, it stops the receiver, which is back at the monitor within two
// seconds; paused for a moment, it goes on and flashes. A run right after
// finds the prompt and flashes.
TEST_F(E2eStream, AStreamCutShortOrPausedLeavesTheHandheldAtItsPrompt) {
    const struct {
        const char* what;
        std::vector<int> signals;
        bool finishes;  // the run goes on to flash its image
    } cases[] = {
        {"SIGINT", {SIGINT}, false},
        {"SIGTERM", {SIGTERM}, false},
        {"SIGHUP", {SIGHUP}, false},
        {"SIGSTOP then SIGCONT", {SIGSTOP, SIGCONT}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        start_sim_on_fresh_flash({"--baud", "115200", "--adapter-latency", "16"});
        const std::string image = make_image("vmlinux", 600000, 43);
        testkit::BackgroundOptions options;
        options.cwd = dir.path();
        testkit::BackgroundRun run(KELVANE_BINARY, {"-b", "921600", "-s", sim->port(), dir.file("vmlinux"), "kernel"},
                                   options);
        ASSERT_TRUE(run.wait_for("Starting xmodem send - " + dir.file("vmlinux") + "...\n", RUN_MS)) << run.err();
        // Well into the stream: some 100 KB more have reached the handheld.
        const long long before =
            report_number(report_reaching("line", "bytes received", 0, RUN_MS), "line", "bytes received");
        report_reaching("line", "bytes received", before + 100000, RUN_MS);
        for (const int sig : c.signals) {
            run.signal(sig);
            // A paused run stays paused until the line has fallen quiet behind it.
            if (sig == SIGSTOP) wait_until_line_quiet();
        }
        const testkit::BackgroundEnd end = run.finish(RUN_MS);
        if (c.finishes) {
            EXPECT_EQ(end.exit_status, 0) << end.err;
        } else {
            EXPECT_EQ(end.signal, c.signals.back()) << end.err;
        }
        // The receiver is back: the next run finds the prompt and flashes.
        const std::string kernel = make_image("next", 3000, 44);
        const testkit::RunResult next = kelvane({"-b", "921600", dir.file("next"), "0x400000"});
        EXPECT_EQ(next.exit_status, 0) << next.err;
        const std::string report = stop_sim();
        EXPECT_EQ(flash().substr(0x400000, kernel.size()), kernel) << report;
        if (c.finishes) {
            EXPECT_EQ(flash().substr(KERNEL, image.size()), image) << report;
        } else {
            EXPECT_EQ(flash().substr(KERNEL, image.size()), std::string(image.size(), '\xff')) << report;
        }
        expect_receiver_back_and_monitor_clean(report);
    }
}

}  // namespace

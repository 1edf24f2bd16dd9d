// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "core/exit_cleanup.h"
#include "transfer/progress.h"

namespace {

timeval fake_now{};
void fake_clock(timeval* now) { *now = fake_now; }

// A zeroed meter on the fake clock, as a user has at the start of an operation.
class ProgressTest : public ::testing::Test {
protected:
    void SetUp() override { set_progress_clock(fake_clock); }
    void TearDown() override { set_progress_clock(nullptr); }

    // What show_progress writes for the draw numbered mode (0 first, 1 redraw, 2 complete) to standard error at the given time.
    std::string draw_at(long seconds, long micros, int mode) {
        fake_now = timeval{seconds, micros};
        testing::internal::CaptureStderr();
        show_progress(meter, static_cast<ProgressDraw>(mode));
        return testing::internal::GetCapturedStderr();
    }

    ProgressMeter meter;
};

struct Sample {
    long seconds;
    long micros;
    int64_t bytes_done;
    int mode;
    const char* expected;
};

// A 300,000-byte file sent at 80 packets a second. The samples between the
// third and the fourth draw are taken with a mode that draws nothing.
TEST_F(ProgressTest, TransferOfThreeHundredThousandBytesDrawsTheseLines) {
    meter.start_time = timeval{1000, 400000};
    meter.total_kb = 300000 / 1024;
    const Sample samples[] = {
        {1000, 900000, 0, 0, "\r -- [0k/292k] |  0.00 KB/s |   0% | 00:00s ETA --"},
        {1001, 900000, 10240, 1, "\r -- [10k/292k] | 10.00 KB/s |   3% | 00:28s ETA --"},
        {1002, 900000, 20480, 1, "\r -- [20k/292k] | 10.00 KB/s |   6% | 00:27s ETA --"},
        {1028, 900000, 286720, 7, ""},
        {1029, 900000, 296960, 1, "\r -- [290k/292k] | 10.00 KB/s |  99% | 00:00s ETA --"},
        {1030, 250000, 300032, 2,
         "\r -- [292k/292k] |  3.00 KB/s | 100% | DONE --          \nElapsed time:  00:30\n\n"},
    };
    for (const Sample& s : samples) {
        meter.bytes_done = s.bytes_done;
        EXPECT_EQ(draw_at(s.seconds, s.micros, s.mode), s.expected) << "at " << s.seconds;
        EXPECT_EQ(meter.bytes_last, s.bytes_done);
    }
}

TEST_F(ProgressTest, CompletionInTheSameSecondShowsRate100AndOneSecondLessElapsed) {
    meter.start_time = timeval{1000, 400000};
    meter.total_kb = 292;
    meter.bytes_done = 296960;
    draw_at(1029, 900000, 1);
    meter.bytes_done = 300032;
    EXPECT_EQ(draw_at(1029, 950000, 2),
              "\r -- [292k/292k] | 100.00 KB/s | 100% | DONE --          \nElapsed time:  00:29\n\n");
}

struct LineCase {
    const char* name;
    long previous_seconds;
    long now_seconds;
    int64_t bytes_done;
    int64_t bytes_last;
    int total_kb;
    int mode;
    const char* expected;
};

const LineCase line_cases[] = {
    {"same_second_rate_is_100", 1000, 1000, 5000, 0, 292, 1, "\r -- [4k/292k] | 100.00 KB/s |   1% | 00:02s ETA --"},
    {"no_new_bytes_rate_and_eta_zero", 1000, 1002, 20480, 20480, 292, 1,
     "\r -- [20k/292k] |  0.00 KB/s |   6% | 00:00s ETA --"},
    {"eta_of_100_minutes_widens", 1000, 1001, 1024, 0, 6001, 1,
     "\r -- [1k/6001k] |  1.00 KB/s |   0% | 100:00s ETA --"},
    {"first_draw_spans_the_time_of_day", 0, 1700000000, 0, 0, 4096, 0,
     "\r -- [0k/4096k] |  0.00 KB/s |   0% | 00:00s ETA --"},
    {"whole_packets_may_pass_the_total", 1029, 1030, 300032, 296960, 292, 1,
     "\r -- [293k/292k] |  3.00 KB/s | 100% | 00:00s ETA --"},
    {"slow_tail_past_the_total_never_shows_a_negative_eta", 1029, 1030, 300032, 299904, 292, 1,
     "\r -- [293k/292k] |  0.12 KB/s | 100% | 00:00s ETA --"},
    {"completion_shows_the_total_whatever_was_counted", 1010, 1011, 2048, 1024, 292, 2,
     "\r -- [292k/292k] |  1.00 KB/s | 100% | DONE --          "},
    {"other_mode_draws_nothing", 1000, 1001, 2048, 1024, 292, 3, ""},
    {"negative_mode_draws_nothing", 1000, 1001, 2048, 1024, 292, -1, ""},
    // Below 1 KiB there is no total to divide by.
    {"empty_total_before_any_byte", 1000, 1001, 0, 0, 0, 1, "\r -- [0k/0k] |  0.00 KB/s |   0% | 00:00s ETA --"},
    {"empty_total_with_bytes_done", 1000, 1001, 512, 0, 0, 1, "\r -- [0k/0k] |  0.50 KB/s | 100% | 00:00s ETA --"},
    {"empty_total_passed_by_a_whole_packet", 1000, 1001, 1024, 896, 0, 1,
     "\r -- [1k/0k] |  0.12 KB/s | 100% | 00:00s ETA --"},
    {"empty_total_same_second", 1000, 1000, 640, 512, 0, 1, "\r -- [0k/0k] | 100.00 KB/s | 100% | 00:00s ETA --"},
    {"empty_total_completion", 1000, 1001, 896, 768, 0, 2, "\r -- [0k/0k] |  0.12 KB/s | 100% | DONE --          "},
};

class ProgressLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(ProgressLineTest, FormatsTheLineOfTheSample) {
    const LineCase& c = GetParam();
    const ProgressFigures figures =
        progress_figures(c.previous_seconds, c.now_seconds, c.bytes_done, c.bytes_last, c.total_kb);
    char line[PROGRESS_LINE_SIZE];
    const int length = format_progress_line(line, static_cast<ProgressDraw>(c.mode), figures, c.total_kb);
    EXPECT_EQ(std::string(line, static_cast<size_t>(length)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Samples, ProgressLineTest, ::testing::ValuesIn(line_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ProgressElapsed, MinutesWidenPastTwoDigits) {
    char line[PROGRESS_LINE_SIZE];
    const struct {
        long seconds;
        const char* expected;
    } cases[] = {
        {0, "\nElapsed time:  00:00\n\n"}, {59, "\nElapsed time:  00:59\n\n"}, {6000, "\nElapsed time:  100:00\n\n"}};
    for (const auto& c : cases) {
        const int length = format_elapsed_line(line, c.seconds);
        EXPECT_EQ(std::string(line, static_cast<size_t>(length)), c.expected);
    }
}

TEST_F(ProgressTest, StartZeroesTheMeterForItsTotal) {
    meter.bytes_done = 5;
    meter.bytes_last = 5;
    fake_now = timeval{1000, 400000};
    progress_start(meter, 300000);
    EXPECT_EQ(meter.total_kb, 292);
    EXPECT_EQ(meter.bytes_done, 0);
    EXPECT_EQ(meter.bytes_last, 0);
    EXPECT_EQ(meter.start_time.tv_sec, 1000);
    EXPECT_EQ(meter.now_time.tv_sec, 0);  // the first interval is the whole time of day
}

TEST_F(ProgressTest, SampleWithoutDrawingMovesTheRateInterval) {
    meter.total_kb = 292;
    meter.bytes_done = 10240;
    draw_at(1000, 0, 5);
    meter.bytes_done = 20480;
    // Measured from the silent sample: 10240 bytes over 2 s.
    EXPECT_EQ(draw_at(1002, 0, 1), "\r -- [20k/292k] |  5.00 KB/s |   6% | 00:54s ETA --");
}

// While a transfer ticks, the handler only re-arms the alarm and raises the
// flag; the redraw happens later in the transfer loop, once per tick.
TEST_F(ProgressTest, TickAsksForOneRedrawThatTheLoopDraws) {
    meter.total_kb = 292;
    fake_now = timeval{1001, 0};
    progress_tick_start(meter);

    testing::internal::CaptureStderr();
    alarm_tick(SIGALRM);
    const std::string from_handler = testing::internal::GetCapturedStderr();
    EXPECT_EQ(from_handler, "");

    testing::internal::CaptureStderr();
    progress_redraw_if_due();
    progress_redraw_if_due();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\r -- [0k/292k] |  0.00 KB/s |   0% | 00:00s ETA --");
    progress_tick_stop();
}

// A tick already on its way when the transfer stops it arms no further one
// and draws nothing: each later tick would cut short a wait of the
// programming watch. The way out stops a tick that is still running.
TEST_F(ProgressTest, NoTickOutlivesTheTransfer) {
    clear_exit_cleanups();
    progress_tick_start(meter);
    progress_tick_stop();
    raise(SIGALRM);       // delivered now: discarded
    alarm_tick(SIGALRM);  // or its handler already running
    EXPECT_EQ(alarm(0), 0u) << "a late tick armed another";
    testing::internal::CaptureStderr();
    progress_redraw_if_due();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    progress_tick_start(meter);
    run_signal_safe_exit_cleanups();  // the run ends, by a signal or otherwise, mid-transfer
    EXPECT_EQ(alarm(0), 0u);
    clear_exit_cleanups();
}

}  // namespace

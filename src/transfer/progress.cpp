// SPDX-License-Identifier: GPL-2.0-or-later
#include "transfer/progress.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>

#include "core/errno_guard.h"
#include "core/exit_cleanup.h"
#include "core/text.h"

namespace {

// Turns bytes per second into KB/s.
constexpr float BYTES_TO_KB = 0.0009765625f;  // 1/1024
// Stands in for the rate when no whole second has passed between two samples.
constexpr float SAME_SECOND_RATE = 100.0f;
constexpr int SECONDS_PER_MINUTE = 60;
constexpr float PERCENT = 100.0f;
constexpr unsigned ALARM_SECONDS = 1;  // the redraw period during a transfer

volatile sig_atomic_t redraw_due = 0;
// Set while a transfer wants its tick: a tick delivered after the transfer
// stopped it (already pending at its alarm(0)) must not arm the next one.
volatile sig_atomic_t ticking = 0;
ProgressClock progress_clock = nullptr;
// The meter the tick redraws; set before the tick starts, never read after it stops.
ProgressMeter* ticking_meter = nullptr;

// Truncation towards zero, saturated so that a huge or tiny quotient cannot
// overflow the int it is printed from.
int truncate_to_int(float value) {
    if (!(value < 2147483648.0f)) return INT_MAX;
    if (value <= -2147483648.0f) return INT_MIN;
    return static_cast<int>(value);
}

// The line formatted into out, whose length snprintf gave; a line it cut
// holds PROGRESS_LINE_SIZE - 1 characters. The meter reports nothing.
void write_line(const char* line, int length) {
    if (length <= 0) return;
    if (length >= PROGRESS_LINE_SIZE) length = PROGRESS_LINE_SIZE - 1;
    write_stderr(line, static_cast<size_t>(length));
}

}  // namespace

ProgressFigures progress_figures(long previous_seconds, long now_seconds, int64_t bytes_done, int64_t bytes_last,
                                 int total_kb) {
    ProgressFigures figures;
    const long interval = now_seconds - previous_seconds;
    if (interval == 0)
        figures.rate = SAME_SECOND_RATE;
    else
        figures.rate = static_cast<float>(bytes_done - bytes_last) / static_cast<float>(interval) * BYTES_TO_KB;
    figures.done_kb = static_cast<int>(bytes_done / 1024);
    // Whole packets can carry done_kb past the total; nothing is then left to
    // wait for, and a negative time ("00:-8s") would be nonsense.
    if (figures.rate != 0.0f && figures.done_kb < total_kb)
        figures.eta = truncate_to_int(static_cast<float>(total_kb - figures.done_kb) / figures.rate);
    if (total_kb != 0) {
        figures.percent = truncate_to_int(static_cast<float>(figures.done_kb) / static_cast<float>(total_kb) * PERCENT);
    } else {
        // Below 1 KiB there is no whole KiB to divide by: 0% until bytes are
        // done, then 100%, and nothing left to wait for.
        figures.percent = bytes_done > 0 ? 100 : 0;
        figures.eta = 0;
    }
    return figures;
}

int format_progress_line(char* out, ProgressDraw mode, const ProgressFigures& figures, int total_kb) {
    out[0] = '\0';
    if (mode == ProgressDraw::first || mode == ProgressDraw::redraw)
        return snprintf(out, PROGRESS_LINE_SIZE, "\r -- [%dk/%dk] | %5.2f KB/s | %3d%% | %02d:%02ds ETA --",
                        figures.done_kb, total_kb, static_cast<double>(figures.rate), figures.percent,
                        figures.eta / SECONDS_PER_MINUTE, figures.eta % SECONDS_PER_MINUTE);
    if (mode == ProgressDraw::complete)
        return snprintf(out, PROGRESS_LINE_SIZE, "\r -- [%dk/%dk] | %5.2f KB/s | 100%% | DONE --          ", total_kb,
                        total_kb, static_cast<double>(figures.rate));
    return 0;
}

int format_elapsed_line(char* out, long elapsed_seconds) {
    const int elapsed = static_cast<int>(elapsed_seconds);
    return snprintf(out, PROGRESS_LINE_SIZE, "\nElapsed time:  %02d:%02d\n\n", elapsed / SECONDS_PER_MINUTE,
                    elapsed % SECONDS_PER_MINUTE);
}

void set_progress_clock(ProgressClock clock) { progress_clock = clock; }

void progress_now(timeval* now) {
    if (progress_clock != nullptr)
        progress_clock(now);
    else
        gettimeofday(now, nullptr);
}

void progress_start(ProgressMeter& meter, int64_t total_bytes) {
    meter = ProgressMeter{};
    meter.total_kb = static_cast<int>(total_bytes / 1024);
    progress_now(&meter.start_time);
}

void show_progress(ProgressMeter& meter, ProgressDraw mode) {
    // Only whole seconds count; the microseconds are never used.
    const long previous_seconds = meter.now_time.tv_sec;
    progress_now(&meter.now_time);
    const ProgressFigures figures =
        progress_figures(previous_seconds, meter.now_time.tv_sec, meter.bytes_done, meter.bytes_last, meter.total_kb);

    char line[PROGRESS_LINE_SIZE];
    write_line(line, format_progress_line(line, mode, figures, meter.total_kb));
    if (mode == ProgressDraw::complete)
        write_line(line, format_elapsed_line(line, meter.now_time.tv_sec - meter.start_time.tv_sec));
    meter.bytes_last = meter.bytes_done;
}

void alarm_tick(int signal) {
    (void)signal;
    // Only async-signal-safe work here: the transfer loop draws the line.
    if (!ticking) return;
    alarm(ALARM_SECONDS);
    redraw_due = 1;
}

namespace {

void stop_tick_on_exit(void*) { progress_tick_stop(); }

}  // namespace

void register_progress_tick_cleanup() { register_exit_cleanup(stop_tick_on_exit, nullptr, SignalSafety::safe); }

void progress_tick_start(ProgressMeter& meter) {
    // Whatever way the run ends from here, the tick ends with it: a late tick
    // would cut short the waits of whatever the way out still sends.
    register_progress_tick_cleanup();
    redraw_due = 0;
    struct sigaction action {};
    action.sa_handler = alarm_tick;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // reads and writes cut by the tick resume by themselves
    sigaction(SIGALRM, &action, nullptr);
    ticking_meter = &meter;
    ticking = 1;
    alarm(ALARM_SECONDS);
}

void progress_tick_stop() {
    const ErrnoGuard errno_kept;  // may run in a signal handler
    ticking = 0;
    alarm(0);
    // Ignoring the signal discards one already pending, so no late tick
    // interrupts the waits after the transfer.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGALRM, &ignore, nullptr);
    redraw_due = 0;
}

void progress_redraw_if_due() {
    if (!redraw_due) return;
    redraw_due = 0;
    show_progress(*ticking_meter, ProgressDraw::redraw);
}

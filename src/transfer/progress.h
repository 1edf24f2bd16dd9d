// SPDX-License-Identifier: GPL-2.0-or-later
// The progress meter of the XMODEM transfer and of the flash programming.
//
// A ProgressMeter is a plain record its user owns and hands to these
// functions: progress_start sets it going for a number of bytes, the user adds
// to bytes_done, and show_progress samples it. During a transfer a one-second
// SIGALRM asks for a redraw of the meter the tick was started for
// (progress_tick_start and progress_tick_stop bracket the transfer; a tick
// never outlives it, since a SIGALRM after the transfer would cut short the
// next waits); alarm_tick itself only re-arms the alarm and raises a flag, and
// the transfer loop turns that flag into a redraw with
// progress_redraw_if_due(), so no stdio runs inside the signal handler and a
// redraw never cuts into another message. The alarm is the process's one, so
// one meter at a time ticks.
// The transfer loop calls it after every packet and after every wait for the
// receiver, interrupted ones included (the alarm interrupts a select), so the
// line is still redrawn about once a second while a slow receiver is awaited.
// Each line is formatted into 128 bytes and written with one write(2) to
// standard error.
//
// A sample takes the whole seconds since the previous sample (the zeroed
// record makes the first interval the whole time of day): the rate is the
// bytes of that interval in KB/s, or 100.0 within the same second; the ETA is
// the KiB left divided by that rate. Figures are single precision and
// truncated. With total_kb 0 (an image under 1 KiB) the line shows 0% until
// bytes are done, then 100%, and an ETA of 00:00s.
#pragma once

#include <sys/time.h>

#include <cstdint>

struct ProgressMeter {
    timeval start_time{};
    timeval now_time{};  // of the last sample
    int64_t bytes_done = 0;
    int64_t bytes_last = 0;  // bytes_done at the last sample
    int total_kb = 0;
};

// Zeroes the meter and starts it for total_bytes from now.
void progress_start(ProgressMeter& meter, int64_t total_bytes);

constexpr int PROGRESS_LINE_SIZE = 128;  // a drawn line holds at most 127 characters

// The figures of one sample, as the line shows them.
struct ProgressFigures {
    float rate = 0.0f;  // KB/s over the interval since the previous sample
    int done_kb = 0;
    int percent = 0;
    int eta = 0;  // seconds
};

ProgressFigures progress_figures(long previous_seconds, long now_seconds, int64_t bytes_done, int64_t bytes_last,
                                 int total_kb);
// What one call of show_progress draws.
enum class ProgressDraw : int {
    first = 0,     // the first line of a transfer or of the programming
    redraw = 1,    // a later line over the previous one
    complete = 2,  // the completion line and the elapsed time
};

// The line a mode draws, into out (PROGRESS_LINE_SIZE bytes); its length, 0 for
// modes that draw nothing.
int format_progress_line(char* out, ProgressDraw mode, const ProgressFigures& figures, int total_kb);
// "\nElapsed time:  MM:SS\n\n" into out (PROGRESS_LINE_SIZE bytes); its length.
int format_elapsed_line(char* out, long elapsed_seconds);

void show_progress(ProgressMeter& meter, ProgressDraw mode);
// The SIGALRM handler: while the tick runs, alarm(1) again and ask for a redraw.
void alarm_tick(int signal);
// Registers the tick's stop in the exit-cleanup table, once, so that on any
// way out the tick ends before the entries registered after it run (one that
// still talks to the handheld must not have its waits cut short). main does
// it at start-up; the first progress_tick_start does it at the latest.
void register_progress_tick_cleanup();
// Starts the one-second tick for a transfer that advances meter; the meter
// must outlive the tick.
void progress_tick_start(ProgressMeter& meter);
// Stops the tick and discards one already on its way; async-signal-safe.
void progress_tick_stop();
// Redraws the ticking meter when a tick has asked for it since the last call.
void progress_redraw_if_due();

// The clock seam: the time of day the meter reads. Tests replace it.
using ProgressClock = void (*)(timeval* now);
void set_progress_clock(ProgressClock clock);  // nullptr restores gettimeofday
void progress_now(timeval* now);

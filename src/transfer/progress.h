// The progress meter shared by the XMODEM transfer and the flash programming.
//
// One process-wide ProgressState that the users fill and show_progress samples.
// During a transfer a one-second SIGALRM asks for a redraw; alarm_tick itself
// only re-arms the alarm and raises a flag, and the transfer loop turns that
// flag into a redraw with progress_redraw_if_due(), so no stdio runs inside
// the signal handler and a redraw never cuts into another message.
#pragma once

#include <sys/time.h>

#include <cstdint>

struct ProgressState {
    timeval start_time{};
    timeval now_time{};
    int64_t bytes_done = 0;
    int64_t bytes_last = 0;
    int total_kb = 0;
};

extern ProgressState progress_state;

// 0: first draw, 1: later draws, 2: completion line and elapsed time, other: sample only.
void show_progress(int mode);
// The SIGALRM handler: alarm(1) again and ask for a redraw.
void alarm_tick(int signal);
// Draws show_progress(1) when a tick has asked for it since the last call.
void progress_redraw_if_due();

// The clock seam: the time of day the meter reads. Tests replace it.
using ProgressClock = void (*)(timeval* now);
void set_progress_clock(ProgressClock clock);  // nullptr restores gettimeofday
void progress_now(timeval* now);

// SPDX-License-Identifier: GPL-2.0-or-later
// Following the monitor while it programs the flash.
//
// After "y\r" the monitor prints one "Programming block" line per 128 KiB
// block, "Error" lines for problems, and its prompt when done. Each line is
// judged on its own: a line that holds "Error" anywhere is an error line (a
// "Programming block" beside it is no progress), then progress, then the
// prompt. The meter advances one whole block per progress line, never past
// the flash size.
// An "Error" line is echoed as a warning and the watch goes on to the prompt;
// the caller then refuses to carry on, because the flash may be damaged. The
// progress lines are counted too: fewer than the flash size holds blocks means
// the monitor did not program what was asked (a command or confirmation it
// took otherwise), and the caller refuses that as well. Each line must begin
// within the line reader's 50 s, and lines that bring no progress for 50 s
// (a babbling line) end the run too.
#pragma once

#include <cstdint>

#include "transfer/progress.h"

class LineReader;

enum class WatchLine { progress, error, prompt, other };

// Which of the watch's tests a reply line meets first.
WatchLine classify_watch_line(const char* line);
// bytes_done after one more programmed block: one block more, capped at flash_size.
int64_t programming_advance(int64_t bytes_done, int64_t flash_size);

struct WatchResult {
    bool error_reported = false;  // any line reported "Error"
    int blocks_reported = 0;      // "Programming block" lines
};

// Starts meter at zero for flash_size and reads reply lines up to the prompt,
// advancing it; ends the program on a silent monitor.
WatchResult watch_programming(LineReader& line, int64_t flash_size, ProgressMeter& meter);
// Whole blocks of flash_size (itself rounded up to blocks).
int blocks_expected(int64_t flash_size);

// SPDX-License-Identifier: GPL-2.0-or-later
#include "monitor/programming_watch.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/fatal.h"
#include "core/shown_text.h"
#include "jobs/flash_limits.h"
#include "monitor/monitor_commands.h"
#include "monitor/monitor_prompt.h"
#include "serial/line_reader.h"
#include "transfer/progress.h"

namespace {

// The monitor prints a block's line within 50 s of the one before (the
// programming of a 128 KiB block takes seconds); lines that keep coming
// without progress for as long are babble, and the watch must not follow
// them for ever.
constexpr std::chrono::seconds PROGRESS_LIMIT{50};

}  // namespace

WatchLine classify_watch_line(const char* line) {
    // "Error" wins wherever it stands: a block reported with an error on the
    // same line is no progress.
    if (strstr(line, REPLY_ERROR) != nullptr) return WatchLine::error;
    if (strstr(line, REPLY_PROGRAMMING) != nullptr) return WatchLine::progress;
    if (line_has_prompt(line)) return WatchLine::prompt;
    return WatchLine::other;
}

int64_t programming_advance(int64_t bytes_done, int64_t flash_size) {
    return std::min(bytes_done + FLASH_BLOCK, flash_size);
}

int blocks_expected(int64_t flash_size) { return static_cast<int>(flash_size / FLASH_BLOCK); }

WatchResult watch_programming(LineReader& line, int64_t flash_size, ProgressMeter& meter) {
    progress_start(meter, flash_size);
    show_progress(meter, ProgressDraw::first);

    WatchResult result;
    auto last_progress_at = std::chrono::steady_clock::now();
    for (;;) {
        if (line.readline() < 0) line.readline_failed_exit("Error: timeout reading from port");
        const WatchLine kind = classify_watch_line(line.line());
        // The prompt ends the watch however late it comes; only lines that bring nothing are limited.
        const bool brings_nothing = kind == WatchLine::other || kind == WatchLine::error;
        if (brings_nothing && std::chrono::steady_clock::now() - last_progress_at >= PROGRESS_LIMIT)
            refuse_exit("Error:  no programming progress from the monitor within %lld s.  Aborting.",
                        static_cast<long long>(PROGRESS_LIMIT.count()));
        switch (kind) {
            case WatchLine::progress:
                last_progress_at = std::chrono::steady_clock::now();
                ++result.blocks_reported;
                meter.bytes_done = programming_advance(meter.bytes_done, flash_size);
                show_progress(meter, ProgressDraw::redraw);
                break;
            case WatchLine::error:
                fprintf(stderr, "\nWARNING:  '%s'\n", shown_text(line.line()).c_str());
                result.error_reported = true;
                break;
            case WatchLine::prompt:
                return result;
            case WatchLine::other:
                break;
        }
    }
}

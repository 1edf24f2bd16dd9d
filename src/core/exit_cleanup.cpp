// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/exit_cleanup.h"

#include <csignal>

namespace {

enum EntryState : sig_atomic_t {
    PENDING = 0,
    RUNNING = 1,  // begun and not finished: it may have ended the run itself
    DONE = 2,
};

struct CleanupEntry {
    ExitCleanup cleanup;
    void* argument;
    bool signal_safe;
    volatile sig_atomic_t state;
};

CleanupEntry entries[EXIT_CLEANUP_SLOTS];
volatile sig_atomic_t entry_count = 0;

void run_entries(bool signal_safe_only) {
    for (int i = 0; i < entry_count; ++i) {
        CleanupEntry& entry = entries[i];
        if (entry.state != PENDING || (signal_safe_only && !entry.signal_safe)) continue;
        // An entry that ends the run itself comes back here through the fatal
        // path: RUNNING keeps it from being started a second time.
        entry.state = RUNNING;
        entry.cleanup(entry.argument);
        entry.state = DONE;
    }
}

}  // namespace

bool register_exit_cleanup(ExitCleanup cleanup, void* argument, SignalSafety safety) {
    for (int i = 0; i < entry_count; ++i)
        if (entries[i].cleanup == cleanup && entries[i].argument == argument) return true;
    if (entry_count >= EXIT_CLEANUP_SLOTS) return false;
    entries[entry_count] = {cleanup, argument, safety == SignalSafety::safe, PENDING};
    entry_count = entry_count + 1;  // published only once the entry is whole
    return true;
}

void run_exit_cleanups() { run_entries(false); }

void run_signal_safe_exit_cleanups() { run_entries(true); }

void clear_exit_cleanups() { entry_count = 0; }

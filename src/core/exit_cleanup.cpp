#include "core/exit_cleanup.h"

#include <csignal>

namespace {

struct CleanupEntry {
    ExitCleanup cleanup;
    void* argument;
    bool signal_safe;
    volatile sig_atomic_t done;
};

CleanupEntry entries[EXIT_CLEANUP_SLOTS];
volatile sig_atomic_t entry_count = 0;

void run_entries(bool signal_safe_only) {
    for (int i = 0; i < entry_count; ++i) {
        CleanupEntry& entry = entries[i];
        if (entry.done || (signal_safe_only && !entry.signal_safe)) continue;
        entry.done = 1;  // before the call: an entry that ends the run is not repeated
        entry.cleanup(entry.argument);
    }
}

}  // namespace

bool register_exit_cleanup(ExitCleanup cleanup, void* argument, SignalSafety safety) {
    if (entry_count >= EXIT_CLEANUP_SLOTS) return false;
    entries[entry_count] = {cleanup, argument, safety == SignalSafety::safe, 0};
    entry_count = entry_count + 1;  // published only once the entry is whole
    return true;
}

void run_exit_cleanups() { run_entries(false); }

void run_signal_safe_exit_cleanups() { run_entries(true); }

void clear_exit_cleanups() { entry_count = 0; }

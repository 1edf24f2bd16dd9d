// SPDX-License-Identifier: GPL-2.0-or-later
// The exit-cleanup table: what every way out of the run must undo.
//
// Modules register a plain function and a plain argument at start-up; the
// table is fixed in size and registering neither allocates nor prints. The
// normal and fatal ends run every entry, in registration order; a signal
// handler may run only the entries registered as async-signal-safe, which must
// then use nothing but async-signal-safe calls (write(2), lstat(2), unlink(2),
// ioctl(2)).
// Each entry is started at most once, so an entry that fails and ends the run
// itself is not started again on the way out; it counts as done only once it
// has returned. The normal and fatal ends hold the exit signals off while the
// table runs (fatal.h), so a signal then waits until every entry is done.
#pragma once

using ExitCleanup = void (*)(void* argument);

enum class SignalSafety : bool {
    unsafe = false,  // normal and fatal ends only
    safe = true,     // may also run from a signal handler
};

constexpr int EXIT_CLEANUP_SLOTS = 8;

// Adds an entry once: the same function with the same argument again is
// already there, and true. False when the table is full (a programming error:
// the slots are counted).
bool register_exit_cleanup(ExitCleanup cleanup, void* argument, SignalSafety safety);
// Runs every entry not yet run, in registration order.
void run_exit_cleanups();
// Runs the async-signal-safe entries not yet run, in registration order.
void run_signal_safe_exit_cleanups();
// Empties the table, so that each module registers anew (tests).
void clear_exit_cleanups();

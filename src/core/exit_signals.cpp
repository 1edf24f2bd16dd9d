// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/exit_signals.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "core/errno_guard.h"
#include "core/exit_cleanup.h"

namespace {

constexpr int EXIT_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

sigset_t exit_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : EXIT_SIGNALS) sigaddset(&set, signal_number);
    return set;
}

// Read by the handler: a lock-free atomic pointer is safe there.
std::atomic<const char*> signal_note{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free);

void write_note(const char* text) {
    size_t length = strlen(text);
    while (length > 0) {
        const ssize_t written = write(STDERR_FILENO, text, length);
        if (written <= 0) return;  // a closed standard error: the note is lost, the cleanup goes on
        text += written;
        length -= static_cast<size_t>(written);
    }
}

void end_by_signal(int signal_number) {
    {
        const ErrnoGuard errno_kept;
        if (const char* note = signal_note.load()) write_note(note);
    }
    run_signal_safe_exit_cleanups();
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(signal_number, &default_action, nullptr);
    // The signal is blocked while its handler runs: it stays pending and ends
    // the process by its default action as soon as the handler returns.
    raise(signal_number);
}

}  // namespace

void install_exit_signal_handlers() {
    const ErrnoGuard errno_kept;
    // A closed standard error (a pager that quit) must not end a flash midway:
    // the text is dropped and the run goes on to its own end.
    signal(SIGPIPE, SIG_IGN);
    for (const int signal_number : EXIT_SIGNALS) {
        struct sigaction current {};
        if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = end_by_signal;
        // One of them at a time: a second one waits until the first has cleaned up.
        action.sa_mask = exit_signal_set();
        sigaction(signal_number, &action, nullptr);
    }
}

void set_signal_note(const char* text) { signal_note.store(text); }

ExitSignalsHeld::ExitSignalsHeld() {
    const sigset_t held = exit_signal_set();
    sigprocmask(SIG_BLOCK, &held, &previous_);
}

ExitSignalsHeld::~ExitSignalsHeld() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

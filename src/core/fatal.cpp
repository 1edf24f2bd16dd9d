// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/fatal.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "core/errno_guard.h"
#include "core/exit_cleanup.h"
#include "core/exit_signals.h"

namespace {

// The hint of the next fatal message; one line, so any line end in it is dropped.
std::string exit_hint;

// The message, errno's text and the hint on standard error, then the fatal end.
[[noreturn]] __attribute__((format(printf, 1, 0))) void report_and_exit(const char* format, va_list args) {
    char message[ERROR_MESSAGE_SIZE];
    vsnprintf(message, sizeof message, format, args);
    // errno is read only after formatting: it still holds the last failure of the run.
    const int error = errno;
    if (error != 0)
        fprintf(stderr, "\n%s - %s\n", message, strerror(error));
    else
        fprintf(stderr, "\n%s\n", message);
    if (!exit_hint.empty()) fprintf(stderr, "%s%s\n", HINT_PREFIX, exit_hint.c_str());
    fputs("\n", stderr);
    cleanup_and_exit(1);
}

}  // namespace

void attach_exit_hint(std::string hint) {
    const ErrnoGuard errno_kept;
    std::erase(hint, '\n');
    std::erase(hint, '\r');
    exit_hint = std::move(hint);
}

void error_exit(const char* format, ...) {
    va_list args;
    va_start(args, format);
    report_and_exit(format, args);
}

void refuse_exit(const char* format, ...) {
    errno = 0;
    va_list args;
    va_start(args, format);
    report_and_exit(format, args);
}

void out_of_memory_exit() { error_exit("Error:  out of memory"); }

void cleanup_and_exit(int exit_status) {
    {
        // A signal now would cut an entry in two and end the process before
        // the others: it waits until the table is done, then ends the run by itself.
        const ExitSignalsHeld held;
        run_exit_cleanups();
    }
    exit(exit_status);
}

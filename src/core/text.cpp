// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/text.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/errno_guard.h"

void write_stderr(const char* text, size_t length) {
    const ErrnoGuard errno_kept;  // may run in a signal handler
    while (length > 0) {
        const ssize_t written = write(STDERR_FILENO, text, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        text += written;
        length -= static_cast<size_t>(written);
    }
}

void write_stderr(const char* text) { write_stderr(text, strlen(text)); }

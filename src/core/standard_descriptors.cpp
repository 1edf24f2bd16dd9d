// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/standard_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr int LAST_STANDARD_FD = STDERR_FILENO;
constexpr char NULL_DEVICE[] = "/dev/null";

}  // namespace

void hold_standard_descriptors() {
    // In order from 0: an open takes the lowest free number, which is then this one.
    for (int fd = STDIN_FILENO; fd <= LAST_STANDARD_FD; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int held = open(NULL_DEVICE, fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (held != fd) _exit(1);
    }
}

// SPDX-License-Identifier: GPL-2.0-or-later
// Whether a terminal is in exclusive mode (TIOCEXCL): on a descriptor the test
// holds, or as any user can tell from its path (root reads the flag, anyone
// else finds the open refused with EBUSY).
#pragma once

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

inline bool terminal_exclusive(int fd) {
    int set = 0;
    return ioctl(fd, TIOCGEXCL, &set) == 0 && set != 0;
}

inline bool port_exclusive(const std::string& tty) {
    const int fd = open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return errno == EBUSY;
    const bool is_set = terminal_exclusive(fd);
    close(fd);
    return is_set;
}

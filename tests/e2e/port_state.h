// SPDX-License-Identifier: GPL-2.0-or-later
// Whether a terminal is in exclusive mode (TIOCEXCL), as any user can tell:
// root reads the flag, anyone else finds the open refused with EBUSY.
#pragma once

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

inline bool port_exclusive(const std::string& tty) {
    const int fd = open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return errno == EBUSY;
    int set = 0;
    const bool is_set = ioctl(fd, TIOCGEXCL, &set) == 0 && set != 0;
    close(fd);
    return is_set;
}

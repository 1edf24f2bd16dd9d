// SPDX-License-Identifier: GPL-2.0-or-later
// Leaves errno as the scope found it.
//
// A signal handler must not change errno under the code it interrupted, and an
// aside whose trouble is no failure of the run (the capture log, a leftover
// removed, the way back to the monitor's rate) must not change what a later
// error_exit would print. Either declares an ErrnoGuard first.
#pragma once

#include <cerrno>

class ErrnoGuard {
public:
    ErrnoGuard() : saved_(errno) {}
    ~ErrnoGuard() { errno = saved_; }
    ErrnoGuard(const ErrnoGuard&) = delete;
    ErrnoGuard& operator=(const ErrnoGuard&) = delete;

private:
    int saved_;
};

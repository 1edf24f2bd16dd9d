// SPDX-License-Identifier: GPL-2.0-or-later
#include "serial/byte_wait.h"

#include <poll.h>
#include <time.h>

#include <cerrno>

namespace {

constexpr short HANG_UP_EVENTS = POLLHUP | POLLERR | POLLNVAL;

// Milliseconds on the monotonic clock; clock_gettime may be called from a signal handler.
long long now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

ByteWait wait_for(int fd, short events, std::chrono::milliseconds limit, OnSignal on_signal) {
    const long long until = now_ms() + (limit.count() > 0 ? limit.count() : 0);
    for (;;) {
        const long long left = until - now_ms();
        pollfd state{fd, events, 0};
        const int result = poll(&state, 1, left > 0 ? static_cast<int>(left) : 0);
        if (result < 0 && errno == EINTR) {
            if (on_signal == OnSignal::end) return ByteWait::interrupted;
            if (left > 0) continue;
            return ByteWait::quiet;
        }
        if (result < 0) return ByteWait::failed;
        if (result == 0) return ByteWait::quiet;
        if ((state.revents & events) != 0) return ByteWait::ready;
        return ByteWait::hung_up;
    }
}

}  // namespace

ByteWait wait_for_byte(int fd, std::chrono::milliseconds limit, OnSignal on_signal) {
    return wait_for(fd, POLLIN, limit, on_signal);
}

ByteWait wait_for_room(int fd, std::chrono::milliseconds limit, OnSignal on_signal) {
    return wait_for(fd, POLLOUT, limit, on_signal);
}

bool line_hung_up(int fd) {
    pollfd state{fd, POLLIN, 0};
    return poll(&state, 1, 0) > 0 && (state.revents & HANG_UP_EVENTS) != 0;
}

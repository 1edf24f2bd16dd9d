// SPDX-License-Identifier: GPL-2.0-or-later
#include "testkit/fd.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace testkit {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline, never negative.
int left_until(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool readable_within(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) > 0;
}

}  // namespace

void Fd::reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string read_some(int fd, std::size_t count, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string got;
    while (got.size() < count) {
        const int left = left_until(deadline);
        if (left == 0 || !readable_within(fd, left)) break;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - got.size()));
        if (n <= 0) break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

std::string read_until(int fd, std::string_view marker, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string text;
    while (!text.ends_with(marker)) {
        const int left = left_until(deadline);
        if (left == 0) break;
        if (!readable_within(fd, left)) continue;
        char c;
        if (read(fd, &c, 1) != 1) break;
        text.push_back(c);
    }
    return text;
}

int read_byte(int fd, int timeout_ms) {
    if (!readable_within(fd, timeout_ms)) return -1;
    unsigned char c;
    return read(fd, &c, 1) == 1 ? c : -1;
}

std::string drain(int fd, int quiet_ms) {
    std::string got;
    while (readable_within(fd, quiet_ms)) {
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

bool hung_up(int fd, int timeout_ms) {
    if (!readable_within(fd, timeout_ms)) return false;
    char c;
    return read(fd, &c, 1) <= 0;
}

}  // namespace testkit

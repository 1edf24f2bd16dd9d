// SPDX-License-Identifier: GPL-2.0-or-later
// File descriptors for tests: one that closes itself, and the reads and
// writes a test does on its end of a line (a pty, a pipe).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace testkit {

// Owns one descriptor and closes it at the end of its scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the one held, then holds fd.
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Writes all of bytes through short writes and EINTR; false when the descriptor refuses.
bool write_all(int fd, std::string_view bytes);
// Reads until count bytes came or timeout_ms passed; what came.
std::string read_some(int fd, std::size_t count, int timeout_ms);
// Reads one byte at a time until what came ends with marker or timeout_ms
// passed, so nothing after the marker is taken; all of it.
std::string read_until(int fd, std::string_view marker, int timeout_ms);
// One byte, or -1 when none came within timeout_ms.
int read_byte(int fd, int timeout_ms);
// Reads until the descriptor has been quiet for quiet_ms, or ends.
std::string drain(int fd, int quiet_ms);
// Whether within timeout_ms a read fails or finds the end of file: the far end is gone.
bool hung_up(int fd, int timeout_ms);

}  // namespace testkit

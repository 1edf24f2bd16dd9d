// SPDX-License-Identifier: GPL-2.0-or-later
#include "pty_transport.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// How long the reader waits on the master before it looks at the stop flag.
constexpr int READER_POLL_MS = 100;
// After a hang-up report or a read error: pause instead of spinning on it.
constexpr int READER_BACKOFF_MS = 100;
// A host that takes no output for this long is not listening; the byte is lost.
constexpr int TX_STALL_MS = 1000;

// Writes one byte to the master, waiting a while for room (caller holds master_mu).
bool write_byte(Line& l, uint8_t b) {
    const int64_t give_up = monotonic_ns() + int64_t(TX_STALL_MS) * 1000000;
    while (l.master >= 0) {
        const ssize_t n = write(l.master, &b, 1);
        if (n == 1) return true;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        const int64_t left = give_up - monotonic_ns();
        if (left <= 0) return false;
        pollfd p{l.master, POLLOUT, 0};
        poll(&p, 1, static_cast<int>(left / 1000000) + 1);
    }
    return false;
}

// Writes bytes to the master and counts them (caller holds no lock of the line's).
// A byte is counted as sent before the write: the host may read it and ask for
// the report before this thread runs again. A write that fails moves it to lost.
void write_counted(Line& l, const uint8_t* bytes, size_t count) {
    l.warm_until.store(monotonic_ns() + WARM_AFTER_NS, std::memory_order_relaxed);
    std::lock_guard m(l.master_mu);
    for (size_t i = 0; i < count; ++i) {
        {
            std::lock_guard g(l.mu);
            ++l.tally.tx_bytes;
        }
        if (write_byte(l, bytes[i])) continue;
        std::lock_guard g(l.mu);
        --l.tally.tx_bytes;
        ++l.tally.tx_lost;
    }
}

}  // namespace

bool pty_open(Line& l, std::string& error) {
    l.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (l.master < 0 || grantpt(l.master) != 0 || unlockpt(l.master) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const char* name = ptsname(l.master);
    if (name == nullptr) {
        error = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    l.slave_path = name;

    // Termios calls on the master set the line: raw before anyone sees its name.
    termios t{};
    if (tcgetattr(l.master, &t) != 0) {
        error = std::string("tcgetattr: ") + std::strerror(errno);
        return false;
    }
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    if (tcsetattr(l.master, TCSANOW, &t) != 0) {
        error = std::string("tcsetattr: ") + std::strerror(errno);
        return false;
    }
    l.keeper = open(l.slave_path.c_str(), O_RDWR | O_NOCTTY);
    if (l.keeper < 0) {
        error = "cannot open " + l.slave_path + ": " + std::strerror(errno);
        return false;
    }
    fcntl(l.master, F_SETFL, fcntl(l.master, F_GETFL) | O_NONBLOCK);
    return true;
}

uint32_t pty_host_rate(const Line& l) {
    termios t{};
    if (l.keeper < 0 || tcgetattr(l.keeper, &t) != 0) return 0;
    return termios_rate(cfgetospeed(&t));
}

size_t pty_read(Line& l, uint8_t* bytes, size_t size) {
    int fd;
    {
        std::lock_guard g(l.mu);
        fd = l.master;
    }
    pollfd p{fd, POLLIN, 0};
    const int r = poll(&p, 1, READER_POLL_MS);
    if (r < 0 && errno != EINTR) {
        std::this_thread::sleep_for(std::chrono::milliseconds(READER_BACKOFF_MS));
        return 0;
    }
    if (r <= 0) return 0;
    if (!(p.revents & POLLIN)) {
        // POLLHUP or POLLERR without data would be reported again at once.
        std::this_thread::sleep_for(std::chrono::milliseconds(READER_BACKOFF_MS));
        return 0;
    }
    const ssize_t n = read(fd, bytes, size);
    if (n > 0) return static_cast<size_t>(n);
    if (n == 0 || (errno != EINTR && errno != EAGAIN))
        std::this_thread::sleep_for(std::chrono::milliseconds(READER_BACKOFF_MS));
    return 0;
}

void pty_hang_up(Line& l) {
    std::lock_guard tx(l.tx_mu);
    std::lock_guard m(l.master_mu);
    if (l.master >= 0) close(l.master);
    if (l.keeper >= 0) close(l.keeper);
    l.master = l.keeper = -1;
}

// A byte goes to the host at once, or into the adapter, whose burst leaves
// here when it is full and from pty_adapter when its timer runs out.
void pty_hand_to_host(Line& l, uint8_t byte, int64_t at) {
    if (l.adapter.latency_ns == 0) {
        write_counted(l, &byte, 1);
        return;
    }
    std::lock_guard a(l.adapter_mu);
    if (adapter_hold(l.adapter, byte, at)) {
        const std::vector<uint8_t> burst = adapter_take(l.adapter);
        write_counted(l, burst.data(), burst.size());
    } else if (l.adapter.held.size() == 1) {
        l.adapter_cv.notify_one();  // a new burst: its timer starts
    }
}

[[noreturn]] void pty_adapter(Line& l) {
    std::unique_lock a(l.adapter_mu);
    for (;;) {
        if (l.adapter.held.empty()) {
            l.adapter_cv.wait(a);
        } else if (const int64_t now = monotonic_ns(); now < l.adapter.due) {
            l.adapter_cv.wait_until(a, to_time_point(line_next_wake(l, now, l.adapter.due)));
        } else {
            const std::vector<uint8_t> burst = adapter_take(l.adapter);
            write_counted(l, burst.data(), burst.size());
        }
    }
}

int pty_unread_by_host(Line& l) {
    size_t held;
    {
        std::lock_guard a(l.adapter_mu);
        held = l.adapter.held.size();
    }
    std::lock_guard m(l.master_mu);
    int pending = 0;
    if (l.keeper < 0 || ioctl(l.keeper, FIONREAD, &pending) != 0) pending = 0;
    return pending + static_cast<int>(held);
}

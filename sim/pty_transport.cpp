// SPDX-License-Identifier: GPL-2.0-or-later
#include "pty_transport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <utility>
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
bool write_byte(Line& line, uint8_t b) {
    const int64_t give_up = monotonic_ns() + int64_t(TX_STALL_MS) * 1000000;
    while (line.master >= 0) {
        const ssize_t n = write(line.master, &b, 1);
        if (n == 1) return true;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        const int64_t left = give_up - monotonic_ns();
        if (left <= 0) return false;
        pollfd p{line.master, POLLOUT, 0};
        poll(&p, 1, static_cast<int>(left / 1000000) + 1);
    }
    return false;
}

// Writes bytes to the master and counts them (caller holds no lock of the line's).
// A byte is counted as sent before the write: the host may read it and ask for
// the report before this thread runs again. A write that fails moves it to lost.
void write_counted(Line& line, const uint8_t* bytes, size_t count) {
    line.warm_until.store(monotonic_ns() + WARM_AFTER_NS, std::memory_order_relaxed);
    std::lock_guard m(line.master_mu);
    for (size_t i = 0; i < count; ++i) {
        {
            std::lock_guard g(line.mu);
            ++line.tally.tx_bytes;
        }
        if (write_byte(line, bytes[i])) continue;
        std::lock_guard g(line.mu);
        --line.tally.tx_bytes;
        ++line.tally.tx_lost;
    }
}

}  // namespace

void standard_port_settings(termios& t) {
    t.c_iflag = ICRNL | IXON;
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = CS8 | CREAD | HUPCL;
    t.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE | IEXTEN;
    cfsetispeed(&t, B38400);
    cfsetospeed(&t, B38400);
    std::fill(std::begin(t.c_cc), std::end(t.c_cc), cc_t{0});
    const std::pair<int, cc_t> controls[] = {
        {VINTR, 003}, {VQUIT, 034}, {VERASE, 0177},  {VKILL, 025},    {VEOF, 004},    {VMIN, 1},     {VSTART, 021},
        {VSTOP, 023}, {VSUSP, 032}, {VREPRINT, 022}, {VDISCARD, 017}, {VWERASE, 027}, {VLNEXT, 026},
    };
    for (const auto& [index, value] : controls) t.c_cc[index] = value;
}

bool pty_open(Line& line, std::string& error) {
    line.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (line.master < 0 || grantpt(line.master) != 0 || unlockpt(line.master) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const char* name = ptsname(line.master);
    if (name == nullptr) {
        error = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    line.slave_path = name;

    // Termios calls on the master set the slave: as a serial driver hands a
    // new port over, before anyone sees its name, so that the host sets what
    // it needs itself, as it must on a real port.
    termios t{};
    if (tcgetattr(line.master, &t) != 0) {
        error = std::string("tcgetattr: ") + std::strerror(errno);
        return false;
    }
    standard_port_settings(t);
    if (tcsetattr(line.master, TCSANOW, &t) != 0) {
        error = std::string("tcsetattr: ") + std::strerror(errno);
        return false;
    }
    line.keeper = open(line.slave_path.c_str(), O_RDWR | O_NOCTTY);
    if (line.keeper < 0) {
        error = "cannot open " + line.slave_path + ": " + std::strerror(errno);
        return false;
    }
    fcntl(line.master, F_SETFL, fcntl(line.master, F_GETFL) | O_NONBLOCK);
    return true;
}

uint32_t pty_host_rate(const Line& line) {
    termios t{};
    if (line.keeper < 0 || tcgetattr(line.keeper, &t) != 0) return 0;
    return termios_rate(cfgetospeed(&t));
}

size_t pty_read(Line& line, uint8_t* bytes, size_t size) {
    int fd;
    {
        std::lock_guard g(line.mu);
        fd = line.master;
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

void pty_hang_up(Line& line) {
    std::lock_guard tx(line.tx_mu);
    std::lock_guard m(line.master_mu);
    if (line.master >= 0) close(line.master);
    if (line.keeper >= 0) close(line.keeper);
    line.master = line.keeper = -1;
}

// A byte goes to the host at once, or into the adapter, whose burst leaves
// here when it is full and from pty_adapter when its timer runs out.
void pty_hand_to_host(Line& line, uint8_t byte, int64_t at) {
    if (line.adapter.latency_ns == 0) {
        write_counted(line, &byte, 1);
        return;
    }
    std::lock_guard a(line.adapter_mu);
    if (adapter_hold(line.adapter, byte, at)) {
        const std::vector<uint8_t> burst = adapter_take(line.adapter);
        write_counted(line, burst.data(), burst.size());
    } else if (line.adapter.held.size() == 1) {
        line.adapter_cv.notify_one();  // a new burst: its timer starts
    }
}

[[noreturn]] void pty_adapter(Line& line) {
    std::unique_lock a(line.adapter_mu);
    for (;;) {
        if (line.adapter.held.empty()) {
            line.adapter_cv.wait(a);
        } else if (const int64_t now = monotonic_ns(); now < line.adapter.due) {
            line.adapter_cv.wait_until(a, to_time_point(line_next_wake(line, now, line.adapter.due)));
        } else {
            const std::vector<uint8_t> burst = adapter_take(line.adapter);
            write_counted(line, burst.data(), burst.size());
        }
    }
}

int pty_unread_by_host(Line& line) {
    size_t held;
    {
        std::lock_guard a(line.adapter_mu);
        held = line.adapter.held.size();
    }
    std::lock_guard m(line.master_mu);
    int pending = 0;
    if (line.keeper < 0 || ioctl(line.keeper, FIONREAD, &pending) != 0) pending = 0;
    return pending + static_cast<int>(held);
}

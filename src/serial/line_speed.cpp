// SPDX-License-Identifier: GPL-2.0-or-later
#include "serial/line_speed.h"

#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "core/errno_guard.h"
#include "core/exit_cleanup.h"
#include "core/fatal.h"

const LineSpeed LINE_SPEEDS[] = {
    {230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
    {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};
const int LINE_SPEED_COUNT = sizeof LINE_SPEEDS / sizeof LINE_SPEEDS[0];

speed_t line_speed_code(unsigned long rate) {
    if (rate == MONITOR_RATE) return MONITOR_SPEED_CODE;
    for (const LineSpeed& speed : LINE_SPEEDS)
        if (speed.rate == rate) return speed.code;
    return B0;
}

namespace {

// Time after tcdrain for the last few bytes at the old rate to leave for good
// (a handful of bytes at 115200 bit/s, with room for an adapter or a far end slow to take them).
constexpr useconds_t SPEED_SETTLE_USEC = 20000;

// A run that ends while the port is fast leaves it at the monitor's rate, so
// whatever reads the line next starts where the monitor is.
volatile sig_atomic_t fast_port_fd = -1;

// Polls between two looks at the output queue while it drains.
constexpr int OUTPUT_QUEUE_POLL_MS = 5;

bool apply_speed(int port_fd, speed_t code) {
    termios options{};
    if (tcgetattr(port_fd, &options) != 0) return false;
    cfsetispeed(&options, code);
    cfsetospeed(&options, code);
    return tcsetattr(port_fd, TCSANOW, &options) == 0;
}

void restore_speed_on_exit(void*) { port_restore_speed(); }

}  // namespace

bool port_back_to_monitor_rate(int wait_ms) {
    const int port_fd = fast_port_fd;
    if (port_fd < 0) return false;
    const ErrnoGuard errno_kept;
    // tcdrain could wait for ever on a line held by flow control: look at the queue instead.
    int queued = 0;
    for (int waited = 0; waited < wait_ms && ioctl(port_fd, TIOCOUTQ, &queued) == 0 && queued > 0;
         waited += OUTPUT_QUEUE_POLL_MS)
        poll(nullptr, 0, OUTPUT_QUEUE_POLL_MS);
    poll(nullptr, 0, static_cast<int>(SPEED_SETTLE_USEC / 1000));
    port_restore_speed();
    return true;
}

// tcgetattr and tcsetattr are ioctls: safe from a signal handler too.
void port_restore_speed() {
    const int port_fd = fast_port_fd;
    if (port_fd < 0) return;
    const ErrnoGuard errno_kept;
    apply_speed(port_fd, MONITOR_SPEED_CODE);
    fast_port_fd = -1;
}

void port_set_speed(int port_fd, unsigned long rate) {
    // tcdrain can be cut short by the progress tick; the bytes must be gone first.
    while (tcdrain(port_fd) != 0 && errno == EINTR) {}
    // tcdrain only empties the driver: a USB adapter's own FIFO, or the far
    // end of a pty, may not have taken the last bytes yet.
    usleep(SPEED_SETTLE_USEC);
    // The way back is in place before the speed changes.
    if (!register_exit_cleanup(restore_speed_on_exit, nullptr, SignalSafety::safe))
        error_exit("Error:  Cannot set serial options");
    termios options{};
    if (tcgetattr(port_fd, &options) != 0) error_exit("Error:  Cannot get serial options");
    // Noted first: a signal between the change and the note must still undo it.
    fast_port_fd = rate == MONITOR_RATE ? -1 : port_fd;
    if (!apply_speed(port_fd, line_speed_code(rate))) error_exit("Error:  Cannot set serial options");
}

namespace {

// What the way out puts back: the flags as they were, on the port that had
// them changed (-1: nothing to put back).
serial_struct latency_old_flags{};
volatile sig_atomic_t latency_port_fd = -1;

void restore_latency_on_exit(void*) { port_restore_latency(); }

}  // namespace

void port_restore_latency() {
    const int port_fd = latency_port_fd;
    if (port_fd < 0) return;
    const ErrnoGuard errno_kept;
    ioctl(port_fd, TIOCSSERIAL, &latency_old_flags);
    latency_port_fd = -1;
}

void port_low_latency(int port_fd) {
    const ErrnoGuard errno_kept;
    serial_struct flags{};
    if (ioctl(port_fd, TIOCGSERIAL, &flags) != 0 || (flags.flags & ASYNC_LOW_LATENCY) != 0) return;
    // The way back is in place before the flag changes; without it the flag stays as it is.
    if (!register_exit_cleanup(restore_latency_on_exit, nullptr, SignalSafety::safe)) return;
    latency_old_flags = flags;
    latency_port_fd = port_fd;
    flags.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(port_fd, TIOCSSERIAL, &flags) != 0) latency_port_fd = -1;
}

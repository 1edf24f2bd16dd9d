#include "serial/line_speed.h"

#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "core/exit_cleanup.h"
#include "core/fatal.h"

const LineSpeed LINE_SPEEDS[] = {
    {230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},
    {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000},
    {4000000, B4000000},
};
const int LINE_SPEED_COUNT = sizeof LINE_SPEEDS / sizeof LINE_SPEEDS[0];

speed_t line_speed_code(unsigned long rate) {
    if (rate == MONITOR_RATE) return B115200;
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
bool speed_restore_registered = false;

// Polls between two looks at the output queue while it drains.
constexpr int OUTPUT_QUEUE_POLL_MS = 5;

bool apply_speed(int port_fd, speed_t code) {
    termios options{};
    if (tcgetattr(port_fd, &options) != 0) return false;
    cfsetispeed(&options, code);
    cfsetospeed(&options, code);
    return tcsetattr(port_fd, TCSANOW, &options) == 0;
}

// tcgetattr and tcsetattr are ioctls: safe from a signal handler too.
void restore_monitor_speed(void*) {
    if (fast_port_fd < 0) return;
    const int saved_errno = errno;
    apply_speed(fast_port_fd, B115200);
    errno = saved_errno;
}

}  // namespace

bool port_back_to_monitor_rate(int wait_ms) {
    const int port_fd = fast_port_fd;
    if (port_fd < 0) return false;
    const int saved_errno = errno;
    // tcdrain could wait for ever on a line held by flow control: look at the queue instead.
    int queued = 0;
    for (int waited = 0; waited < wait_ms && ioctl(port_fd, TIOCOUTQ, &queued) == 0 && queued > 0;
         waited += OUTPUT_QUEUE_POLL_MS)
        poll(nullptr, 0, OUTPUT_QUEUE_POLL_MS);
    poll(nullptr, 0, static_cast<int>(SPEED_SETTLE_USEC / 1000));
    apply_speed(port_fd, B115200);
    fast_port_fd = -1;
    errno = saved_errno;
    return true;
}

void port_set_speed(int port_fd, unsigned long rate) {
    // tcdrain can be cut short by the progress tick; the bytes must be gone first.
    while (tcdrain(port_fd) != 0 && errno == EINTR) {
    }
    // tcdrain only empties the driver: a USB adapter's own FIFO, or the far
    // end of a pty, may not have taken the last bytes yet.
    usleep(SPEED_SETTLE_USEC);
    if (!speed_restore_registered)
        speed_restore_registered = register_exit_cleanup(restore_monitor_speed, nullptr, SignalSafety::safe);
    termios options{};
    if (tcgetattr(port_fd, &options) != 0) error_exit("Error:  Cannot get serial options");
    if (!apply_speed(port_fd, line_speed_code(rate))) error_exit("Error:  Cannot set serial options");
    fast_port_fd = rate == MONITOR_RATE ? -1 : port_fd;
}

namespace {

// What the exit cleanup puts back; filled once, before the entry is registered.
struct LatencyRestore {
    int port_fd = -1;
    serial_struct old_flags{};
};
LatencyRestore latency_restore;
bool latency_registered = false;

void restore_latency(void* argument) {
    auto* restore = static_cast<LatencyRestore*>(argument);
    const int saved_errno = errno;
    ioctl(restore->port_fd, TIOCSSERIAL, &restore->old_flags);
    errno = saved_errno;
}

}  // namespace

void port_low_latency(int port_fd) {
    const int saved_errno = errno;
    serial_struct flags{};
    if (ioctl(port_fd, TIOCGSERIAL, &flags) == 0 && (flags.flags & ASYNC_LOW_LATENCY) == 0) {
        const serial_struct old_flags = flags;
        flags.flags |= ASYNC_LOW_LATENCY;
        if (ioctl(port_fd, TIOCSSERIAL, &flags) == 0 && !latency_registered) {
            latency_restore = {port_fd, old_flags};
            latency_registered = register_exit_cleanup(restore_latency, &latency_restore, SignalSafety::safe);
        }
    }
    errno = saved_errno;
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "line.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

// How long the reader waits on the master before it looks at the stop flag.
constexpr int READER_POLL_MS = 100;
// After a hang-up report or a read error: pause instead of spinning on it.
constexpr int READER_BACKOFF_MS = 100;
// A host that takes no output for this long is not listening; the byte is lost.
constexpr int TX_STALL_MS = 1000;
// Bytes read from the master at once.
constexpr size_t READ_CHUNK = 4096;
// Timer slack of a paced line's waits, in nanoseconds.
constexpr unsigned long TIMER_SLACK_NS = 1000;

// When a wait that starts at `now` and ends at `deadline` should wake first
// (warm_wake): short naps close to the deadline and just after a byte went to the host.
int64_t next_wake(const Line& l, int64_t now, int64_t deadline) {
    return warm_wake(l.warm_until.load(std::memory_order_relaxed), now, deadline);
}

// Sleeps until `deadline`, waking in time to meet it.
void sleep_warm_until(Line& l, int64_t deadline) {
    for (int64_t now = monotonic_ns(); now < deadline; now = monotonic_ns())
        sleep_until_ns(next_wake(l, now, deadline));
}

// Seeds of the two garbling generators, apart from the fault generator's.
constexpr uint64_t RX_GARBLE_SALT = 0x52582D7261746521ull;
constexpr uint64_t TX_GARBLE_SALT = 0x54582D7261746521ull;

// Lets a polling program see what comes next without the lock (caller holds mu).
void publish_next(Line& l) { l.next_release.store(rx_next_release(l.rx), std::memory_order_release); }

// Settles the front byte and tells whether it is ready (caller holds mu).
bool front_ready(Line& l, int64_t now) {
    rx_settle_front(l.rx, l.faults, l.plan, l.faults_active);
    publish_next(l);
    return rx_front_ready(l.rx, now);
}

RxByte take_front(Line& l) {
    const RxByte b = rx_take_front(l.rx);
    publish_next(l);
    return b;
}

uint32_t rate_of(int fd) {
    termios t{};
    if (fd < 0 || tcgetattr(fd, &t) != 0) return 0;
    return termios_rate(cfgetospeed(&t));
}

// Whether a byte between the host at host_rate and the handheld crosses intact (caller holds mu).
bool rates_agree(const Line& l, uint32_t host_rate) { return divisor_makes(l.clock_hz, l.divisor, host_rate); }

// A paced line has the 16550's FIFO; an unpaced one never loses a byte.
size_t fifo_capacity(const Line& l) { return l.base_baud > 0 ? UART_RX_FIFO_SIZE : SIZE_MAX; }

// Queues bytes read at `now` (caller holds mu); false when they hung the line up.
bool receive_held(Line& l, const uint8_t* bytes, size_t count, int64_t now, uint32_t host_rate) {
    const bool intact = rates_agree(l, host_rate);
    bool hang = false;
    for (size_t i = 0; i < count; ++i) {
        ++l.tally.rx_bytes;
        const long long total = static_cast<long long>(l.tally.rx_bytes);
        if (l.plan.hangup_after >= 0 && total > l.plan.hangup_after) {
            l.hung_up = hang = true;
            break;
        }
        if (l.plan.silent_after >= 0 && total > l.plan.silent_after) l.silent = true;
        if (l.silent) continue;
        if (intact) {
            rx_push(l.rx, bytes[i], now, l.byte_ns);
        } else {
            ++l.tally.rx_garbled;
            rx_push(l.rx, fault_rng_other_byte(l.rx_garble, bytes[i]), now, l.byte_ns, true);
        }
    }
    publish_next(l);
    return !hang;
}

void hang_up(Line& l) {
    std::lock_guard tx(l.tx_mu);
    std::lock_guard m(l.master_mu);
    if (l.master >= 0) close(l.master);
    if (l.keeper >= 0) close(l.keeper);
    l.master = l.keeper = -1;
}

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

// A byte that has crossed the line at `at`: to the host at once, or into the
// adapter, whose burst leaves here when it is full and from line_adapter when
// its timer runs out.
void hand_to_host(Line& l, uint8_t byte, int64_t at) {
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

}  // namespace

bool line_open(Line& l, std::string& error) {
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
    fault_rng_seed(l.faults.rng, l.plan.seed);
    fault_rng_seed(l.rx_garble, l.plan.seed ^ RX_GARBLE_SALT);
    fault_rng_seed(l.tx_garble, l.plan.seed ^ TX_GARBLE_SALT);
    l.faults_active = l.plan.everywhere;
    l.monitor_divisor = divisor_for(l.clock_hz, MONITOR_RATE);
    if (l.monitor_divisor == 0) {
        error = "a UART clock of " + std::to_string(l.clock_hz) + " Hz cannot make the monitor's 115200 bit/s";
        return false;
    }
    line_set_divisor(l, l.monitor_divisor);
    // Paced waits last a byte time (87 us at 115200); the kernel's default
    // 50 us of timer slack would add most of another. Threads started later inherit this.
    if (l.base_baud > 0) prctl(PR_SET_TIMERSLACK, TIMER_SLACK_NS);
    return true;
}

void line_reader(Line& l) {
    uint8_t chunk[READ_CHUNK];
    for (;;) {
        int fd;
        {
            std::lock_guard g(l.mu);
            if (l.stopping || l.hung_up) return;
            fd = l.master;
        }
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, READER_POLL_MS);
        if (r < 0 && errno != EINTR) {
            std::this_thread::sleep_for(std::chrono::milliseconds(READER_BACKOFF_MS));
            continue;
        }
        if (r <= 0) continue;
        if (!(p.revents & POLLIN)) {
            // POLLHUP or POLLERR without data would be reported again at once.
            std::this_thread::sleep_for(std::chrono::milliseconds(READER_BACKOFF_MS));
            continue;
        }
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            std::this_thread::sleep_for(std::chrono::milliseconds(READER_BACKOFF_MS));
            continue;
        }
        // The bytes of one read left the host together, at the rate it has now.
        // They are stamped under the lock: a program that looked at the queue
        // before saw a clock no later than this one (line_known_after).
        const uint32_t host_rate = rate_of(l.keeper);
        bool hang;
        {
            std::lock_guard g(l.mu);
            hang = !receive_held(l, chunk, static_cast<size_t>(n), monotonic_ns(), host_rate);
        }
        l.cv.notify_all();
        if (hang) {
            hang_up(l);
            return;
        }
    }
}

bool line_receive(Line& l, const uint8_t* bytes, size_t count, int64_t now, uint32_t host_rate) {
    std::lock_guard g(l.mu);
    return receive_held(l, bytes, count, now, host_rate);
}

void line_stop(Line& l) {
    {
        std::lock_guard g(l.mu);
        l.stopping = true;
    }
    l.cv.notify_all();
}

void line_set_faults_active(Line& l, bool active) {
    std::lock_guard g(l.mu);
    l.faults_active = active || l.plan.everywhere;
}

int line_get(Line& l, int timeout_ms) {
    std::unique_lock g(l.mu);
    const int64_t deadline = timeout_ms < 0 ? INT64_MAX : monotonic_ns() + int64_t(timeout_ms) * 1000000;
    for (;;) {
        const int64_t now = monotonic_ns();
        if (front_ready(l, now)) {
            const RxByte b = take_front(l);
            l.monitor_took = b.release_ns;
            return b.value;
        }
        if (now >= deadline) return -1;
        const int64_t until = std::min(deadline, rx_front_release(l.rx));
        if (until == INT64_MAX)
            l.cv.wait(g);
        else
            l.cv.wait_until(g, to_time_point(until));
    }
}

bool line_ready(Line& l) {
    std::lock_guard g(l.mu);
    return front_ready(l, monotonic_ns());
}

RxByte line_take(Line& l) {
    std::lock_guard g(l.mu);
    return take_front(l);
}

int64_t line_known_after(Line& l, int64_t at, int64_t slack) {
    std::unique_lock g(l.mu);
    for (;;) {
        // A byte queued after this look is read no earlier than now, and is
        // released a byte time after that or after the last queued one.
        const int64_t known = std::max(monotonic_ns(), l.rx.last_release_ns) + l.byte_ns;
        if (known > at) return known;
        const uint64_t pushes = l.rx.pushes;
        const int64_t wake = next_wake(l, monotonic_ns(), at - l.byte_ns + slack);
        l.cv.wait_until(g, to_time_point(wake), [&] { return l.rx.pushes != pushes; });
    }
}

int64_t line_program_start(Line& l, int64_t now) {
    std::lock_guard g(l.mu);
    return l.monitor_took > 0 ? std::min(now, l.monitor_took) : now;
}

FifoView line_admit(Line& l, int64_t at) {
    std::lock_guard g(l.mu);
    FifoView v;
    v.lost = rx_admit(l.rx, at, fifo_capacity(l), l.faults, l.plan, l.faults_active);
    v.held = l.rx.admitted;
    publish_next(l);
    return v;
}

RxByte line_take_admitted(Line& l) {
    std::lock_guard g(l.mu);
    return take_front(l);
}

void line_packet_started(Line& l, unsigned data_size) {
    std::lock_guard g(l.mu);
    rx_packet_started(l.rx, l.faults, l.plan, l.faults_active, data_size);
}

void line_program_ended(Line& l) {
    std::lock_guard g(l.mu);
    l.rx.admitted = 0;
    publish_next(l);
}

void line_set_divisor(Line& l, uint32_t divisor) {
    std::lock_guard g(l.mu);
    l.divisor = divisor;
    l.byte_ns = paced_byte_ns(l.base_baud, l.monitor_divisor, divisor);
}

uint32_t line_divisor(Line& l) {
    std::lock_guard g(l.mu);
    return l.divisor;
}

void line_send(Line& l, const uint8_t* bytes, size_t count) { line_send_at(l, bytes, count, monotonic_ns()); }

int64_t line_send_at(Line& l, const uint8_t* bytes, size_t count, int64_t at) {
    std::lock_guard tx(l.tx_mu);
    for (size_t i = 0; i < count; ++i) {
        TxBytes out;
        int64_t byte_ns = 0;
        // The rate is read for every byte: the host may change it between two.
        const uint32_t host_rate = rate_of(l.keeper);
        {
            std::lock_guard g(l.mu);
            if (l.silent || l.hung_up || l.master < 0) {
                ++l.tally.tx_lost;
                continue;
            }
            out = tx_settle(l.tx_counts, bytes[i], l.faults, l.plan, l.faults_active);
            if (!rates_agree(l, host_rate)) {
                for (size_t k = 0; k < out.count; ++k) out.bytes[k] = fault_rng_other_byte(l.tx_garble, out.bytes[k]);
                l.tally.tx_garbled += out.count;
            }
            byte_ns = l.byte_ns;
        }
        for (size_t k = 0; k < out.count; ++k) {
            // The host has the byte once its ten bits have crossed the line,
            // not when it starts: a lone ACK costs a byte time too. The next
            // byte is handed over at this one's end, so a burst keeps its
            // schedule however late the sleep wakes.
            at = tx_schedule_byte(l.tx, at, byte_ns);
            sleep_warm_until(l, at);
            hand_to_host(l, out.bytes[k], at);
        }
    }
    return at;
}

void line_send(Line& l, const std::string& text) {
    line_send(l, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

int line_unread_by_host(Line& l) {
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

[[noreturn]] void line_adapter(Line& l) {
    std::unique_lock a(l.adapter_mu);
    for (;;) {
        if (l.adapter.held.empty()) {
            l.adapter_cv.wait(a);
        } else if (const int64_t now = monotonic_ns(); now < l.adapter.due) {
            l.adapter_cv.wait_until(a, to_time_point(next_wake(l, now, l.adapter.due)));
        } else {
            const std::vector<uint8_t> burst = adapter_take(l.adapter);
            write_counted(l, burst.data(), burst.size());
        }
    }
}

LineCounters line_counters(Line& l) {
    std::lock_guard g(l.mu);
    return line_counters_held(l);
}

LineCounters line_counters_held(const Line& l) {
    LineCounters c = l.tally;
    c.rx_dropped = l.rx.counts.dropped;
    c.rx_corrupted = l.rx.counts.corrupted;
    c.rx_inserted = l.rx.counts.inserted;
    c.rx_swapped = l.rx.counts.swapped;
    c.rx_overrun = l.rx.counts.overrun;
    c.tx_corrupted = l.tx_counts.corrupted;
    c.tx_inserted = l.tx_counts.inserted;
    return c;
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "line.h"

#include "hardware.h"
#include "pty_transport.h"

#include <algorithm>
#include <sys/prctl.h>

namespace {

// Bytes the reader takes from the pseudo-terminal at once.
constexpr size_t READ_CHUNK = 4096;

// Timer slack of a paced line's waits, in nanoseconds.
constexpr unsigned long TIMER_SLACK_NS = 1000;

// Waits until `deadline`, when a byte is due at the host: sleeps, waking in
// time, and spins the last SEND_SPIN_NS.
void sleep_warm_until(Line& line, int64_t deadline) {
    for (int64_t now = monotonic_ns(); now < deadline; now = monotonic_ns()) {
        if (deadline - now <= SEND_SPIN_NS) continue;
        sleep_until_ns(std::min(line_next_wake(line, now, deadline), deadline - SEND_SPIN_NS));
    }
}

// Seeds of the two garbling generators, apart from the fault generator's.
constexpr uint64_t RX_GARBLE_SALT = 0x52582D7261746521ull;
constexpr uint64_t TX_GARBLE_SALT = 0x54582D7261746521ull;

// Lets a polling program see what comes next without the lock (caller holds mu).
void publish_next(Line& line) { line.next_release.store(rx_next_release(line.rx), std::memory_order_release); }

// Settles the front byte and tells whether it is ready (caller holds mu).
bool front_ready(Line& line, int64_t now) {
    rx_settle_front(line.rx, line.faults, line.plan, line.faults_active);
    publish_next(line);
    return rx_front_ready(line.rx, now);
}

RxByte take_front(Line& line) {
    const RxByte b = rx_take_front(line.rx);
    publish_next(line);
    return b;
}

// Whether a byte between the host at host_rate and the handheld crosses intact (caller holds mu).
bool rates_agree(const Line& line, uint32_t host_rate) { return divisor_makes(line.clock_hz, line.divisor, host_rate); }

// A paced line has the 16550's FIFO; an unpaced one never loses a byte.
size_t fifo_capacity(const Line& line) { return line.base_baud > 0 ? UART_RX_FIFO_SIZE : SIZE_MAX; }

// Queues bytes read at `now` (caller holds mu); false when they hung the line up.
bool receive_held(Line& line, const uint8_t* bytes, size_t count, int64_t now, uint32_t host_rate) {
    const bool intact = rates_agree(line, host_rate);
    bool hang = false;
    for (size_t i = 0; i < count; ++i) {
        ++line.tally.rx_bytes;
        const long long total = static_cast<long long>(line.tally.rx_bytes);
        if (line.plan.hangup_after >= 0 && total > line.plan.hangup_after) {
            line.hung_up = hang = true;
            break;
        }
        if (line.plan.silent_after >= 0 && total > line.plan.silent_after) line.silent = true;
        if (line.silent) continue;
        if (intact) {
            rx_push(line.rx, bytes[i], now, line.byte_ns);
        } else {
            ++line.tally.rx_garbled;
            rx_push(line.rx, fault_rng_other_byte(line.rx_garble, bytes[i]), now, line.byte_ns, true);
        }
    }
    publish_next(line);
    return !hang;
}

// What goes out for one byte handed over (caller holds mu): its faults, then
// the garbling of a rate the host does not run at, as receive_held garbles.
TxBytes send_held(Line& line, uint8_t byte, uint32_t host_rate) {
    TxBytes out = tx_settle(line.tx_counts, byte, line.faults, line.plan, line.faults_active);
    if (!rates_agree(line, host_rate)) {
        for (size_t k = 0; k < out.count; ++k) out.bytes[k] = fault_rng_other_byte(line.tx_garble, out.bytes[k]);
        line.tally.tx_garbled += out.count;
    }
    return out;
}

}  // namespace

bool line_open(Line& line, std::string& error) {
    if (!pty_open(line, error)) return false;
    fault_rng_seed(line.faults.rng, line.plan.seed);
    fault_rng_seed(line.rx_garble, line.plan.seed ^ RX_GARBLE_SALT);
    fault_rng_seed(line.tx_garble, line.plan.seed ^ TX_GARBLE_SALT);
    line.faults_active = line.plan.everywhere;
    line.monitor_divisor = divisor_for(line.clock_hz, MONITOR_RATE);
    if (line.monitor_divisor == 0) {
        error = "a UART clock of " + std::to_string(line.clock_hz) + " Hz cannot make the monitor's 115200 bit/s";
        return false;
    }
    line_set_divisor(line, line.monitor_divisor);
    // Paced waits last a byte time (87 us at 115200); the kernel's default
    // 50 us of timer slack would add most of another. Threads started later inherit this.
    if (line.base_baud > 0) prctl(PR_SET_TIMERSLACK, TIMER_SLACK_NS);
    return true;
}

bool line_receive_read(Line& line, const uint8_t* bytes, size_t count, uint32_t host_rate) {
    bool hang;
    {
        // Stamped under the lock: a program that looked at the queue before
        // saw a clock no later than this one (line_known_after).
        std::lock_guard g(line.mu);
        hang = !receive_held(line, bytes, count, monotonic_ns(), host_rate);
    }
    line.cv.notify_all();
    return !hang;
}

bool line_receive(Line& line, const uint8_t* bytes, size_t count, int64_t now, uint32_t host_rate) {
    std::lock_guard g(line.mu);
    return receive_held(line, bytes, count, now, host_rate);
}

void line_reader(Line& line) {
    uint8_t chunk[READ_CHUNK];
    for (;;) {
        {
            std::lock_guard g(line.mu);
            if (line.stopping || line.hung_up) return;
        }
        const size_t n = pty_read(line, chunk, sizeof chunk);
        if (n == 0) continue;
        // The bytes of one read left the host together, at the rate it has now.
        if (!line_receive_read(line, chunk, n, pty_host_rate(line))) {
            pty_hang_up(line);
            return;
        }
    }
}

void line_stop(Line& line) {
    {
        std::lock_guard g(line.mu);
        line.stopping = true;
    }
    line.cv.notify_all();
}

void line_set_faults_active(Line& line, bool active) {
    std::lock_guard g(line.mu);
    line.faults_active = active || line.plan.everywhere;
}

int line_get(Line& line, int timeout_ms) {
    std::unique_lock g(line.mu);
    const int64_t deadline = timeout_ms < 0 ? INT64_MAX : monotonic_ns() + int64_t(timeout_ms) * 1000000;
    for (;;) {
        const int64_t now = monotonic_ns();
        if (front_ready(line, now)) {
            const RxByte b = take_front(line);
            line.monitor_took = b.release_ns;
            return b.value;
        }
        if (now >= deadline) return -1;
        const int64_t until = std::min(deadline, rx_front_release(line.rx));
        if (until == INT64_MAX)
            line.cv.wait(g);
        else
            line.cv.wait_until(g, to_time_point(until));
    }
}

bool line_ready(Line& line) {
    std::lock_guard g(line.mu);
    return front_ready(line, monotonic_ns());
}

RxByte line_take(Line& line) {
    std::lock_guard g(line.mu);
    return take_front(line);
}

int64_t line_known_after(Line& line, int64_t at, int64_t slack) {
    std::unique_lock g(line.mu);
    for (;;) {
        // A byte queued after this look is read no earlier than now, and is
        // released a byte time after that or after the last queued one.
        const int64_t known = std::max(monotonic_ns(), line.rx.last_release_ns) + line.byte_ns;
        if (known > at) return known;
        const uint64_t pushes = line.rx.pushes;
        const int64_t wake = line_next_wake(line, monotonic_ns(), at - line.byte_ns + slack);
        line.cv.wait_until(g, to_time_point(wake), [&] { return line.rx.pushes != pushes; });
    }
}

int64_t line_program_start(Line& line, int64_t now) {
    std::lock_guard g(line.mu);
    return line.monitor_took > 0 ? std::min(now, line.monitor_took) : now;
}

FifoView line_admit(Line& line, int64_t at) {
    std::lock_guard g(line.mu);
    FifoView v;
    v.lost = rx_admit(line.rx, at, fifo_capacity(line), line.faults, line.plan, line.faults_active);
    v.held = line.rx.admitted;
    publish_next(line);
    return v;
}

RxByte line_take_admitted(Line& line) {
    std::lock_guard g(line.mu);
    return take_front(line);
}

void line_packet_started(Line& line, unsigned data_size) {
    std::lock_guard g(line.mu);
    rx_packet_started(line.rx, line.faults, line.plan, line.faults_active, data_size);
}

void line_program_ended(Line& line) {
    std::lock_guard g(line.mu);
    line.rx.admitted = 0;
    publish_next(line);
}

void line_set_divisor(Line& line, uint32_t divisor) {
    std::lock_guard g(line.mu);
    line.divisor = divisor;
    line.byte_ns = paced_byte_ns(line.base_baud, line.monitor_divisor, divisor);
}

uint32_t line_divisor(Line& line) {
    std::lock_guard g(line.mu);
    return line.divisor;
}

void line_send(Line& line, const uint8_t* bytes, size_t count) { line_send_at(line, bytes, count, monotonic_ns()); }

int64_t line_send_at(Line& line, const uint8_t* bytes, size_t count, int64_t at) {
    std::lock_guard tx(line.tx_mu);
    for (size_t i = 0; i < count; ++i) {
        TxBytes out;
        int64_t byte_ns = 0;
        // The rate is read for every byte: the host may change it between two.
        const uint32_t host_rate = pty_host_rate(line);
        {
            std::lock_guard g(line.mu);
            if (line.silent || line.hung_up || line.master < 0) {
                ++line.tally.tx_lost;
                continue;
            }
            out = send_held(line, bytes[i], host_rate);
            byte_ns = line.byte_ns;
        }
        for (size_t k = 0; k < out.count; ++k) {
            // The host has the byte once its ten bits have crossed the line,
            // not when it starts: a lone ACK costs a byte time too. The next
            // byte is handed over at this one's end, so a burst keeps its
            // schedule however late the sleep wakes.
            at = tx_schedule_byte(line.tx, at, byte_ns);
            sleep_warm_until(line, at);
            pty_hand_to_host(line, out.bytes[k], at);
        }
    }
    return at;
}

void line_send(Line& line, const std::string& text) {
    line_send(line, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

LineCounters line_counters(Line& line) {
    std::lock_guard g(line.mu);
    return line_counters_held(line);
}

LineCounters line_counters_held(const Line& line) {
    LineCounters c = line.tally;
    c.rx_dropped = line.rx.counts.dropped;
    c.rx_corrupted = line.rx.counts.corrupted;
    c.rx_inserted = line.rx.counts.inserted;
    c.rx_swapped = line.rx.counts.swapped;
    c.rx_overrun = line.rx.counts.overrun;
    c.tx_corrupted = line.tx_counts.corrupted;
    c.tx_inserted = line.tx_counts.inserted;
    return c;
}

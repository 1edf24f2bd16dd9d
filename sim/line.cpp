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
void sleep_warm_until(Line& l, int64_t deadline) {
    for (int64_t now = monotonic_ns(); now < deadline; now = monotonic_ns()) {
        if (deadline - now <= SEND_SPIN_NS) continue;
        sleep_until_ns(std::min(line_next_wake(l, now, deadline), deadline - SEND_SPIN_NS));
    }
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

// What goes out for one byte handed over (caller holds mu): its faults, then
// the garbling of a rate the host does not run at, as receive_held garbles.
TxBytes send_held(Line& l, uint8_t byte, uint32_t host_rate) {
    TxBytes out = tx_settle(l.tx_counts, byte, l.faults, l.plan, l.faults_active);
    if (!rates_agree(l, host_rate)) {
        for (size_t k = 0; k < out.count; ++k) out.bytes[k] = fault_rng_other_byte(l.tx_garble, out.bytes[k]);
        l.tally.tx_garbled += out.count;
    }
    return out;
}

}  // namespace

bool line_open(Line& l, std::string& error) {
    if (!pty_open(l, error)) return false;
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

bool line_receive_read(Line& l, const uint8_t* bytes, size_t count, uint32_t host_rate) {
    bool hang;
    {
        // Stamped under the lock: a program that looked at the queue before
        // saw a clock no later than this one (line_known_after).
        std::lock_guard g(l.mu);
        hang = !receive_held(l, bytes, count, monotonic_ns(), host_rate);
    }
    l.cv.notify_all();
    return !hang;
}

bool line_receive(Line& l, const uint8_t* bytes, size_t count, int64_t now, uint32_t host_rate) {
    std::lock_guard g(l.mu);
    return receive_held(l, bytes, count, now, host_rate);
}

void line_reader(Line& l) {
    uint8_t chunk[READ_CHUNK];
    for (;;) {
        {
            std::lock_guard g(l.mu);
            if (l.stopping || l.hung_up) return;
        }
        const size_t n = pty_read(l, chunk, sizeof chunk);
        if (n == 0) continue;
        // The bytes of one read left the host together, at the rate it has now.
        if (!line_receive_read(l, chunk, n, pty_host_rate(l))) {
            pty_hang_up(l);
            return;
        }
    }
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
        const int64_t wake = line_next_wake(l, monotonic_ns(), at - l.byte_ns + slack);
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
        const uint32_t host_rate = pty_host_rate(l);
        {
            std::lock_guard g(l.mu);
            if (l.silent || l.hung_up || l.master < 0) {
                ++l.tally.tx_lost;
                continue;
            }
            out = send_held(l, bytes[i], host_rate);
            byte_ns = l.byte_ns;
        }
        for (size_t k = 0; k < out.count; ++k) {
            // The host has the byte once its ten bits have crossed the line,
            // not when it starts: a lone ACK costs a byte time too. The next
            // byte is handed over at this one's end, so a burst keeps its
            // schedule however late the sleep wakes.
            at = tx_schedule_byte(l.tx, at, byte_ns);
            sleep_warm_until(l, at);
            pty_hand_to_host(l, out.bytes[k], at);
        }
    }
    return at;
}

void line_send(Line& l, const std::string& text) {
    line_send(l, reinterpret_cast<const uint8_t*>(text.data()), text.size());
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

// SPDX-License-Identifier: GPL-2.0-or-later
// Line rates: what a UART clock can make, what the host's termios asks for,
// and the schedule a paced byte follows.
//
// A 16550-style UART sends at clock / (16 * divisor) bit/s. Two ends whose
// rates differ by more than 2 % sample each other's bits wrongly, so a rate is
// "made" by a clock only within 2 %, and a byte crosses the line intact only
// when both ends agree within 2 %. The comparisons are done in integers, so a
// rate right at the limit is decided the same way every time.
//
// A paced line keeps absolute deadlines: a byte handed over while the previous
// one is still crossing starts when that one ends, not when the sender happened
// to wake up, so a burst at a fast rate does not drift behind its schedule.
//
// Every stamp and wait in the simulator reads one clock, CLOCK_MONOTONIC in
// nanoseconds (std::chrono::steady_clock on Linux, for condition variables).
// Near a byte to the host the waits are cut into short naps (warm_wake).
#pragma once

#include <chrono>
#include <cstdint>
#include <termios.h>

// How far two rates may differ and still carry bytes: 1/50 = 2 %.
constexpr uint64_t RATE_TOLERANCE_DIVISOR = 50;
// Every byte on the line: a start bit, 8 data bits, a stop bit.
constexpr int64_t BITS_PER_BYTE = 10;
// The rate of the monitor's console.
constexpr uint32_t MONITOR_RATE = 115200;
// The handheld's UART clock unless --uart-clock says otherwise: divisor 8 at 115200.
constexpr uint32_t DEFAULT_UART_CLOCK = 14745600;
// A divisor of 0 stops a 16550's baud generator; it counts as the slowest rate.
constexpr uint32_t DIVISOR_ZERO_AS = 0x10000;

// Whether a UART on `clock` Hz with `divisor` runs within 2 % of `rate`.
bool divisor_makes(uint32_t clock, uint32_t divisor, uint32_t rate);
// The divisor nearest to `rate` on `clock` Hz, or 0 when none is within 2 %.
uint32_t divisor_for(uint32_t clock, uint32_t rate);
// The bit rate of a termios speed constant, or 0 for B0 and unknown ones.
uint32_t termios_rate(speed_t speed);

// Time of one byte at `divisor` on a line paced at `base_baud` bit/s while the
// UART runs at `monitor_divisor`; 0 when the line is not paced.
int64_t paced_byte_ns(uint32_t base_baud, uint32_t monitor_divisor, uint32_t divisor);

struct TxSchedule {
    int64_t free_at = 0;  // when the byte on the line has crossed it
};

// A byte handed over at `at`: it starts when the line is free, and the time at
// which it has crossed is returned (and is when the line is free again).
int64_t tx_schedule_byte(TxSchedule& schedule, int64_t at, int64_t byte_ns);

// The simulator's clock: CLOCK_MONOTONIC in nanoseconds.
int64_t monotonic_ns();
// Sleeps until monotonic time `deadline`; the deadline is absolute, so a
// signal that interrupts the sleep does not stretch it.
void sleep_until_ns(int64_t deadline);
// A monotonic time for a condition variable's timed wait.
std::chrono::steady_clock::time_point to_time_point(int64_t ns);

// Around each byte the handheld hands to the host, its side never sleeps
// longer than WARM_NAP_NS at once: from WARM_LEAD_NS before the byte is due
// until WARM_AFTER_NS after it, when the host's answer comes. A virtual CPU
// left idle for long is parked by its host and wakes late, and every answer of
// a stop-and-wait exchange (the handheld's ACK, the host woken by it, the
// reader woken by the next packet) would pay that: most of a millisecond a
// packet on a quiet machine. The long sleeps before and between stay.
constexpr int64_t WARM_NAP_NS = 80'000;
constexpr int64_t WARM_LEAD_NS = 1'000'000;
constexpr int64_t WARM_AFTER_NS = 1'000'000;
// The last stretch before a byte is due at the host is spun, not slept: a
// timer's wake-up on a virtual CPU comes 10 to 40 us late even when warm, and
// each answer of a stop-and-wait exchange would pay it. Only the handheld's
// sending side spins, at most this long a byte.
constexpr int64_t SEND_SPIN_NS = 40'000;

// When a wait that starts at `now` and ends at `deadline` should wake first:
// short naps close to the deadline and before `warm_until` (a byte went to the
// host just before it).
int64_t warm_wake(int64_t warm_until, int64_t now, int64_t deadline);

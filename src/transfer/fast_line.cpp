// SPDX-License-Identifier: GPL-2.0-or-later
#include "transfer/fast_line.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "core/errno_guard.h"
#include "core/fatal.h"
#include "serial/byte_wait.h"
#include "serial/line_speed.h"
#include "serial/port.h"
#include "transfer/control_bytes.h"
#include "transfer/hex_text.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char OFFER_PREFIX[] = "FAST ";
constexpr size_t OFFER_DIGITS = 4;
constexpr unsigned MAX_DIVISOR = 0xFFFF;  // DLL and DLM
constexpr unsigned long TOLERANCE = 50;   // 1/50: within 2 %
constexpr auto OFFER_WAIT = milliseconds(2000);
constexpr auto SYNC_TICK = milliseconds(10);
constexpr int SYNC_TRIES = 50;
// A receiver that took the GO stays at the new rate and NAKs at once; giving
// up on it too early would leave it there while we fall back, and the sending
// at 115200 would then end at the monitor's command line. A GO that was lost
// costs only this wait: the receiver falls back by itself and NAKs later.
constexpr auto GO_WAIT = milliseconds(3000);
constexpr size_t OFFER_LINE_LIMIT = 1023;

constexpr unsigned char ASK_DIVISOR = 'S';
constexpr unsigned char STAY = '=';
constexpr unsigned char PROBE = 'U';
constexpr unsigned char PROBE_ANSWER = 'K';
constexpr unsigned char GO = 'G';

bool within_tolerance(unsigned d0, unsigned divisor, unsigned long rate) {
    const unsigned long long made_times_divisor = static_cast<unsigned long long>(MONITOR_RATE) * d0;
    const unsigned long long asked_times_divisor = static_cast<unsigned long long>(rate) * divisor;
    const unsigned long long gap = made_times_divisor > asked_times_divisor ? made_times_divisor - asked_times_divisor
                                                                            : asked_times_divisor - made_times_divisor;
    return gap * TOLERANCE <= asked_times_divisor;
}

// One byte, or none by the deadline.
std::optional<unsigned char> read_byte_until(int port_fd, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return std::nullopt;
        const ByteWait wait = wait_for_byte(port_fd, milliseconds(left));
        unsigned char byte = 0;
        if (wait == ByteWait::ready && read(port_fd, &byte, 1) == 1) return byte;
        // A hung-up line reads nothing at once: wait out the deadline without spinning.
        if (wait == ByteWait::hung_up || (wait == ByteWait::ready && line_hung_up(port_fd))) usleep(1000);
    }
}

// Lines at the monitor's rate (the command's echo first) until the offer, for
// at most OFFER_WAIT; the lines before it go to seen, one per line.
std::optional<unsigned> read_offer(int port_fd, std::string& seen) {
    const auto deadline = Clock::now() + OFFER_WAIT;
    std::string line;
    while (const auto byte = read_byte_until(port_fd, deadline)) {
        if (*byte != '\r' && *byte != '\n') {
            if (line.size() < OFFER_LINE_LIMIT) line += static_cast<char>(*byte);
            continue;
        }
        if (const auto d0 = parse_fast_offer(line.c_str())) return d0;
        if (seen.size() < OFFER_LINE_LIMIT) seen += line + '\n';
        line.clear();
    }
    return std::nullopt;
}

// The exchange at the current rate: true once the receiver's NAK has come.
bool confirm_line(int port_fd) {
    bool answered = false;
    for (int tries = 0; tries < SYNC_TRIES && !answered; ++tries) {
        port_send(port_fd, &PROBE, 1, Capture::skip);
        const auto tick_end = Clock::now() + SYNC_TICK;
        while (const auto byte = read_byte_until(port_fd, tick_end)) {
            if (*byte == PROBE_ANSWER) {
                answered = true;
                break;
            }
        }
    }
    if (!answered) return false;
    port_send(port_fd, &GO, 1, Capture::skip);
    // Answers to probes still on their way come before the NAK.
    const auto deadline = Clock::now() + GO_WAIT;
    while (const auto byte = read_byte_until(port_fd, deadline))
        if (*byte == NAK) return true;
    return false;
}

void notice(const char* format, unsigned long rate) { std::fprintf(stderr, format, rate); }

}  // namespace

unsigned fast_line_divisor(unsigned d0, unsigned long rate) {
    if (d0 == 0 || rate == 0) return 0;
    // The divisors on either side of the exact quotient; the nearer that fits wins.
    const unsigned long long clock16 = static_cast<unsigned long long>(MONITOR_RATE) * d0;
    const unsigned long long below = clock16 / rate;
    for (const unsigned long long divisor : {below, below + 1}) {
        if (divisor < 1 || divisor > MAX_DIVISOR) continue;
        const auto d = static_cast<unsigned>(divisor);
        if (within_tolerance(d0, d, rate)) return d;
    }
    return 0;
}

unsigned long fast_line_rate(unsigned d0, unsigned divisor) {
    return divisor == 0 ? 0 : static_cast<unsigned long>(static_cast<unsigned long long>(MONITOR_RATE) * d0 / divisor);
}

std::optional<unsigned> parse_fast_offer(const char* line) {
    constexpr size_t prefix = sizeof OFFER_PREFIX - 1;
    if (std::strncmp(line, OFFER_PREFIX, prefix) != 0) return std::nullopt;
    const std::string_view digits(line + prefix, strnlen(line + prefix, OFFER_DIGITS));
    const std::optional<uint32_t> d0 = digits.size() == OFFER_DIGITS ? hex_value(digits, HexCase::any) : std::nullopt;
    if (!d0 || *d0 == 0) return std::nullopt;
    return static_cast<unsigned>(*d0);
}

FastLine fast_line_start(int port_fd, unsigned long rate) {
    const ErrnoGuard errno_kept;
    FastLine line;
    const std::optional<unsigned> d0 = read_offer(port_fd, line.start_text);
    // At the monitor's own rate the receiver stays where it is: only the packets grow.
    const bool stay = rate == MONITOR_RATE;
    const unsigned divisor = d0 && !stay ? fast_line_divisor(*d0, rate) : 0;
    if (divisor == 0) {
        port_send(port_fd, &STAY, 1, Capture::skip);
        if (d0 && !stay)
            notice("Notice:  the handheld cannot run its line at %lu bit/s; sending at 115200.\n", rate);
        else if (!d0)
            notice("Notice:  the receiver made no offer of a line at %lu bit/s; sending at 115200.\n", rate);
    } else {
        const unsigned char request[] = {ASK_DIVISOR, static_cast<unsigned char>(divisor & 0xFF),
                                         static_cast<unsigned char>(divisor >> 8)};
        port_send(port_fd, request, sizeof request, Capture::skip);
        port_set_speed(port_fd, rate);
        if (confirm_line(port_fd)) {
            line.fast = true;
            line.start_nak_seen = true;
            return line;
        }
        port_set_speed(port_fd, MONITOR_RATE);
        notice("Notice:  the line did not come up at %lu bit/s; sending at 115200.\n", rate);
    }
    // At the monitor's rate: without confirmation the sender waits for the NAK as always.
    line.start_nak_seen = confirm_line(port_fd);
    return line;
}

void fast_line_end(int port_fd, const FastLine& line) {
    if (line.fast) port_set_speed(port_fd, MONITOR_RATE);
}

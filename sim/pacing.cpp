// SPDX-License-Identifier: GPL-2.0-or-later
#include "pacing.h"

#include <algorithm>
#include <cerrno>
#include <time.h>

namespace {

uint32_t effective_divisor(uint32_t divisor) { return divisor == 0 ? DIVISOR_ZERO_AS : divisor; }

struct SpeedRate {
    speed_t speed;
    uint32_t rate;
};

constexpr SpeedRate SPEEDS[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},         {B150, 150},
    {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},       {B1800, 1800},
    {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
    {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
    {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
};

}  // namespace

bool divisor_makes(uint32_t clock, uint32_t divisor, uint32_t rate) {
    if (rate == 0) return false;
    // |clock / (16 d) - rate| <= rate / 50, multiplied out by 16 d.
    const uint64_t made = uint64_t(16) * effective_divisor(divisor) * rate;
    const uint64_t difference = made > clock ? made - clock : clock - made;
    return difference * RATE_TOLERANCE_DIVISOR <= made;
}

uint32_t divisor_for(uint32_t clock, uint32_t rate) {
    if (rate == 0) return 0;
    const uint64_t step = uint64_t(16) * rate;
    const uint64_t nearest = (uint64_t(clock) + step / 2) / step;
    if (nearest == 0 || nearest > 0xFFFF) return 0;
    const auto divisor = static_cast<uint32_t>(nearest);
    return divisor_makes(clock, divisor, rate) ? divisor : 0;
}

uint32_t termios_rate(speed_t speed) {
    for (const SpeedRate& s : SPEEDS)
        if (s.speed == speed) return s.rate;
    return 0;
}

int64_t paced_byte_ns(uint32_t base_baud, uint32_t monitor_divisor, uint32_t divisor) {
    if (base_baud == 0) return 0;
    // The paced rate scales with the divisor: --baud is the pace at the monitor's.
    const int64_t at_monitor = BITS_PER_BYTE * 1'000'000'000;
    return at_monitor * effective_divisor(divisor) / (int64_t(base_baud) * effective_divisor(monitor_divisor));
}

int64_t tx_schedule_byte(TxSchedule& s, int64_t at, int64_t byte_ns) {
    s.free_at = std::max(at, s.free_at) + byte_ns;
    return s.free_at;
}

int64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleep_until_ns(int64_t deadline) {
    timespec ts{static_cast<time_t>(deadline / 1000000000), static_cast<long>(deadline % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {}
}

std::chrono::steady_clock::time_point to_time_point(int64_t ns) {
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ns));
}

int64_t warm_wake(int64_t warm_until, int64_t now, int64_t deadline) {
    if (now < warm_until || deadline - now <= WARM_LEAD_NS) return std::min(deadline, now + WARM_NAP_NS);
    return deadline - WARM_LEAD_NS;
}

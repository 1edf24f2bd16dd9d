// SPDX-License-Identifier: GPL-2.0-or-later
#include "program_clock.h"

#include <algorithm>

namespace {

constexpr int64_t PS_PER_NS = 1000;
constexpr int64_t PS_PER_US = 1'000'000;

}  // namespace

ProgramClock program_clock_start(int64_t now, unsigned cpu_mhz, unsigned flash_read_ns) {
    ProgramClock c;
    c.flash_read_ns = flash_read_ns;
    c.model = now;
    c.last_access = now - UART_ACCESS_NS;  // the first access takes no longer than any other
    c.cycle_ps = PS_PER_US / cpu_mhz;
    c.known = now;
    return c;
}

void clock_fold(ProgramClock& c) {
    c.model += static_cast<int64_t>(c.flash_reads) * c.flash_read_ns;
    c.flash_reads = 0;
    if (c.cycles == 0) return;
    const int64_t ps = static_cast<int64_t>(c.cycles) * c.cycle_ps + c.ps_left;
    c.cycles = 0;
    c.model += ps / PS_PER_NS;
    c.ps_left = ps % PS_PER_NS;
}

int64_t clock_access(ProgramClock& c) {
    clock_fold(c);
    c.model = std::max(c.model, c.last_access + UART_ACCESS_NS);
    c.last_access = c.model;
    return c.model;
}

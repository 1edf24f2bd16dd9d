// SPDX-License-Identifier: GPL-2.0-or-later
// The modelled time of a program that "g -e" started.
//
// A program runs far faster in emulation than on the handheld, so it carries
// a clock of its own. Its instructions take one cycle each at --cpu-mhz,
// counted per translated block as the block starts (the block hook adds a
// block's instructions, the clock folds them in at the next UART access).
// Every access to the UART's registers is an uncached bus cycle that ends a
// microsecond after the previous access ended at the earliest; the
// instructions in between run within that microsecond, so an empty poll lasts
// a microsecond in all, its loop included, and 5,000,000 of them five seconds.
// A load from the flash stalls the CPU for one uncached NOR read for each 16
// bits it takes (--flash-read-ns), since the flash sits on a 16-bit bus with
// no cache in front of the window programs read it through; counted like
// the instructions and folded in with them.
// Nothing here reads the real clock: the UART (uart.h) brings the two together.
#pragma once

#include <cstdint>

// The CPU's clock unless --cpu-mhz says otherwise.
constexpr unsigned DEFAULT_CPU_MHZ = 100;
// One 16-bit read of the NOR flash unless --flash-read-ns says otherwise: an
// uncached read of a common parallel NOR part, its access time and the bus's.
constexpr unsigned DEFAULT_FLASH_READ_NS = 100;
// One access to the UART's registers, counted from the end of the one before.
constexpr int64_t UART_ACCESS_NS = 1000;

struct ProgramClock {
    int64_t model = 0;        // the program's time, in the real clock's nanoseconds
    int64_t last_access = 0;  // when the last UART access ended
    uint64_t cycles = 0;      // instructions counted and not yet in `model`
    int64_t cycle_ps = 0;     // one cycle, in picoseconds
    int64_t ps_left = 0;      // the part of a nanosecond not yet in `model`
    int64_t known = 0;        // every byte released before this time is queued (uart.h)
    uint64_t flash_reads = 0;  // 16-bit flash reads counted and not yet in `model`
    int64_t flash_read_ns = DEFAULT_FLASH_READ_NS;
};

// A clock starting at `now` on a CPU of `cpu_mhz` MHz whose flash reads take `flash_read_ns`.
ProgramClock program_clock_start(int64_t now, unsigned cpu_mhz, unsigned flash_read_ns = DEFAULT_FLASH_READ_NS);
// A translated block of `instructions` starts.
inline void clock_add_instructions(ProgramClock& clock, uint32_t instructions) { clock.cycles += instructions; }
// A load of `bytes` from the flash: one read for each 16 bits, a byte's included.
inline void clock_add_flash_load(ProgramClock& clock, unsigned bytes) { clock.flash_reads += (bytes + 1) / 2; }
// Folds the counted instructions into the model time.
void clock_fold(ProgramClock& clock);
// An access to the UART: its end, which is the model time from then on.
int64_t clock_access(ProgramClock& clock);

// SPDX-License-Identifier: GPL-2.0-or-later
// Seeded fault injection on the serial line.
//
// Each received byte that reaches the UART, and each byte a program sends, is
// given a fate drawn from one generator (splitmix64), so the same seed and the
// same traffic give the same faults. Each XMODEM packet or stream frame a
// program starts to take may also have two of its data bytes swapped: damage
// that keeps the byte sum, which an 8-bit checksum cannot see. The injector
// only decides; the line applies the decision and marks changed bytes as
// altered, which lets the simulator tell a packet that the receiver accepted
// although it was damaged (the 8-bit checksum's blind spot) from an honest
// one. The plan holds every fault a run asks for, the flash's (flash_faults.h)
// and the monitor's too.
#pragma once

#include "hardware.h"

#include <cstdint>

// A corruption burst longer than one XMODEM packet tells nothing new.
constexpr unsigned FAULT_BURST_MAX = XMODEM_PACKET_SIZE;

// The faults a run asks for on the command line; 0 (or -1 for a count of bytes) asks for none.
struct FaultPlan {
    uint64_t seed = 1;
    double rx_drop = 0;           // probability that a received byte is lost
    double rx_corrupt = 0;        // probability that a corruption burst starts at a received byte
    double rx_noise = 0;          // probability that a random byte is inserted before a received byte
    double tx_corrupt = 0;        // probability that a sent byte is changed
    double tx_noise = 0;          // probability that a random byte is sent before a sent byte
    double rx_swap = 0;           // probability that two data bytes of a packet a program takes are swapped
    unsigned burst = 1;           // received bytes hit by one corruption
    bool everywhere = false;      // faults on the whole line, not only while a program runs
    long long silent_after = -1;  // received bytes after which the handheld hangs
    long long hangup_after = -1;  // received bytes after which the line is hung up
    unsigned error_every = 0;     // an "Error" line before every n-th programmed block
    unsigned nak_record = 0;      // the n-th record of every "load" is refused
    unsigned stuck_bits = 0;      // bits of the programmed data that stay 0
    unsigned skip_block = 0;      // the n-th block of the run is reported but left as it was
    bool nuls_at_prompt = false;  // after a flash command, NULs around the prompt until the host sends
};

struct FaultRng {
    uint64_t state = 0;
};

void fault_rng_seed(FaultRng& rng, uint64_t seed);
uint64_t fault_rng_next(FaultRng& rng);
// True with probability p.
bool fault_rng_chance(FaultRng& rng, double p);
// A byte different from `not_this`.
uint8_t fault_rng_other_byte(FaultRng& rng, uint8_t not_this);

enum class FateKind { keep, drop, corrupt, insert };

struct ByteFate {
    FateKind kind = FateKind::keep;
    uint8_t value = 0;  // the new value (corrupt) or the inserted byte (insert)
};

struct FaultState {
    FaultRng rng;
    unsigned burst_left = 0;  // received bytes still to corrupt in the current burst
};

// Fate of a received byte `original` under `plan`.
ByteFate decide_rx_fate(FaultState& state, const FaultPlan& plan, uint8_t original);
// Fate of a byte about to be sent; drop is never chosen.
ByteFate decide_tx_fate(FaultState& state, const FaultPlan& plan, uint8_t original);

// Two of a packet's data bytes to swap, first < second.
struct SwapFate {
    bool swap = false;
    unsigned first = 0;
    unsigned second = 0;
};

// With probability plan.rx_swap, two of the count bytes of data that differ
// (swapping equal bytes would change nothing); no swap when all are equal.
SwapFate decide_packet_swap(FaultState& state, const FaultPlan& plan, const uint8_t* data, unsigned count);

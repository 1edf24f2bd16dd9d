// SPDX-License-Identifier: GPL-2.0-or-later
#include "faults.h"

#include <algorithm>

void fault_rng_seed(FaultRng& rng, uint64_t seed) { rng.state = seed; }

uint64_t fault_rng_next(FaultRng& rng) {
    uint64_t z = (rng.state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool fault_rng_chance(FaultRng& rng, double p) {
    if (p <= 0) return false;
    // 53 random bits give a uniform double in [0, 1).
    const double u = static_cast<double>(fault_rng_next(rng) >> 11) * 0x1.0p-53;
    return u < p;
}

uint8_t fault_rng_other_byte(FaultRng& rng, uint8_t not_this) {
    const uint8_t delta = static_cast<uint8_t>(1 + fault_rng_next(rng) % 255);
    return static_cast<uint8_t>(not_this + delta);
}

ByteFate decide_rx_fate(FaultState& s, const FaultPlan& plan, uint8_t original) {
    if (s.burst_left > 0) {
        --s.burst_left;
        return {FateKind::corrupt, fault_rng_other_byte(s.rng, original)};
    }
    if (fault_rng_chance(s.rng, plan.rx_drop)) return {FateKind::drop, 0};
    if (fault_rng_chance(s.rng, plan.rx_corrupt)) {
        s.burst_left = plan.burst - 1;
        return {FateKind::corrupt, fault_rng_other_byte(s.rng, original)};
    }
    if (fault_rng_chance(s.rng, plan.rx_noise)) return {FateKind::insert, static_cast<uint8_t>(fault_rng_next(s.rng))};
    return {};
}

ByteFate decide_tx_fate(FaultState& s, const FaultPlan& plan, uint8_t original) {
    if (fault_rng_chance(s.rng, plan.tx_corrupt)) return {FateKind::corrupt, fault_rng_other_byte(s.rng, original)};
    if (fault_rng_chance(s.rng, plan.tx_noise)) return {FateKind::insert, static_cast<uint8_t>(fault_rng_next(s.rng))};
    return {};
}

SwapFate decide_packet_swap(FaultState& s, const FaultPlan& plan, const uint8_t* data, unsigned count) {
    if (count < 2 || !fault_rng_chance(s.rng, plan.rx_swap)) return {};
    const unsigned first = static_cast<unsigned>(fault_rng_next(s.rng) % count);
    unsigned differing = 0;
    for (unsigned i = 0; i < count; ++i) differing += data[i] != data[first];
    if (differing == 0) return {};
    unsigned pick = static_cast<unsigned>(fault_rng_next(s.rng) % differing);
    for (unsigned i = 0; i < count; ++i) {
        if (data[i] == data[first]) continue;
        if (pick-- == 0) return {true, std::min(first, i), std::max(first, i)};
    }
    return {};
}

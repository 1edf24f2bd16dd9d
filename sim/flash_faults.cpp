// SPDX-License-Identifier: GPL-2.0-or-later
#include "flash_faults.h"

#include <bit>
#include <cstdio>
#include <set>

std::vector<StuckBit> choose_stuck_bits(FaultRng& rng, const uint8_t* data, uint32_t size, uint32_t offset,
                                        unsigned count) {
    uint64_t ones = 0;
    for (uint32_t i = 0; i < size; ++i) ones += static_cast<unsigned>(std::popcount(data[i]));
    const uint64_t wanted = count < ones ? count : ones;
    // Floyd's sampling: `wanted` distinct ranks among the 1-bits, in one pass of draws.
    std::set<uint64_t> ranks;
    for (uint64_t j = ones - wanted; j < ones; ++j) {
        const uint64_t t = fault_rng_next(rng) % (j + 1);
        ranks.insert(ranks.count(t) ? j : t);
    }
    std::vector<StuckBit> chosen;
    uint64_t rank = 0;
    auto next = ranks.begin();
    for (uint32_t i = 0; i < size && next != ranks.end(); ++i) {
        for (uint8_t bit = 0; bit < 8 && next != ranks.end(); ++bit) {
            if (!(data[i] >> bit & 1)) continue;
            if (rank++ == *next) {
                chosen.push_back({offset + i, bit});
                ++next;
            }
        }
    }
    return chosen;
}

bool flash_block_skipped(FlashFaultState& state, unsigned skip_block) { return ++state.blocks_seen == skip_block; }

std::string format_flash_faults(const FlashFaultRecord& r) {
    char buf[96];
    std::string text = "stuck bits: ";
    if (r.stuck_asked == 0) {
        text += "none";
    } else {
        std::snprintf(buf, sizeof buf, "%zu of %u placed", r.stuck.size(), r.stuck_asked);
        text += buf;
        const char* separator = ": ";
        for (const StuckBit& s : r.stuck) {
            std::snprintf(buf, sizeof buf, "%s0x%06x bit %u", separator, s.offset, s.bit);
            text += buf;
            separator = ", ";
        }
    }
    text += "\nskipped block: ";
    if (r.skip_asked == 0)
        text += "none";
    else if (!r.skipped)
        text += "block " + std::to_string(r.skip_asked) + " of the run never came";
    else {
        std::snprintf(buf, sizeof buf, "block %u of the run, 0x%06x..0x%06x, reported but left as it was", r.skip_asked,
                      r.skipped_offset, r.skipped_offset + r.skipped_size - 1);
        text += buf;
    }
    return text + "\n";
}

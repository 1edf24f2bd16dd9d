// SPDX-License-Identifier: GPL-2.0-or-later
// Seeded faults of the flash itself, which the monitor does not notice.
//
// Stuck bits are cells whose bit stays 0: they are chosen, by a generator
// seeded from --seed, among the 1-bits of the data the run programs, so that
// each one shows as a wrong bit (the first blocks that hold enough 1-bits take
// them all). A skipped block is the run's K-th block, counted over every flash
// command: the monitor prints its "Programming block" line but neither erases
// nor programs it. The choices are pure; the monitor applies them.
#pragma once

#include "faults.h"
#include "flash_store.h"

#include <cstdint>
#include <string>
#include <vector>

// What the flash faults did, for the report.
struct FlashFaultRecord {
    unsigned stuck_asked = 0;
    std::vector<StuckBit> stuck;  // placed, in flash order per block
    unsigned skip_asked = 0;      // the K of --skip-block, 0 for none
    bool skipped = false;
    uint32_t skipped_offset = 0;
    uint32_t skipped_size = 0;
};

struct FlashFaultState {
    FaultRng rng;
    unsigned stuck_left = 0;
    unsigned blocks_seen = 0;  // blocks the monitor has handled in this run
};

// Up to count distinct 1-bits of data (size bytes meant for flash offset
// offset), chosen by rng; all of them when it has no more.
std::vector<StuckBit> choose_stuck_bits(FaultRng& rng, const uint8_t* data, uint32_t size, uint32_t offset,
                                        unsigned count);

// Counts one more block of the run; true when it is the one to skip.
bool flash_block_skipped(FlashFaultState& state, unsigned skip_block);

// "stuck bits: ..." and "skipped block: ..." report lines.
std::string format_flash_faults(const FlashFaultRecord& record);

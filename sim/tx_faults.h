// SPDX-License-Identifier: GPL-2.0-or-later
// The send side's faults: what a byte the handheld sends becomes on the line.
//
// The receive side draws a byte's fate as the byte reaches the front of the
// receive queue (rx_queue.h); a byte to the host has its fate drawn as it is
// handed over, from the same generator, so one seed decides both directions.
// A corrupted byte goes out changed, an inserted byte goes out before the byte
// it was drawn for, and nothing is dropped on the way out. What a rate the
// host does not run at makes of the bytes is the line's affair (line.h).
#pragma once

#include "faults.h"

#include <cstddef>
#include <cstdint>

struct TxFaultCounts {
    uint64_t corrupted = 0;
    uint64_t inserted = 0;
};

// The bytes that go on the line for one byte handed over, in order.
struct TxBytes {
    uint8_t bytes[2] = {};
    size_t count = 0;
};

// Draws the fate of `value` (none while faults are off), counts it, and
// returns what is sent.
TxBytes tx_settle(TxFaultCounts& counts, uint8_t value, FaultState& faults, const FaultPlan& plan, bool faults_active);

// SPDX-License-Identifier: GPL-2.0-or-later
#include "tx_faults.h"

TxBytes tx_settle(TxFaultCounts& counts, uint8_t value, FaultState& faults, const FaultPlan& plan, bool faults_active) {
    TxBytes out;
    ByteFate fate;
    if (faults_active) fate = decide_tx_fate(faults, plan, value);
    if (fate.kind == FateKind::insert) {
        ++counts.inserted;
        out.bytes[out.count++] = fate.value;
    }
    if (fate.kind == FateKind::corrupt) {
        ++counts.corrupted;
        out.bytes[out.count++] = fate.value;
    } else {
        out.bytes[out.count++] = value;
    }
    return out;
}

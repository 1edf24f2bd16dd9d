// SPDX-License-Identifier: GPL-2.0-or-later
#include "adapter.h"

#include <utility>

bool adapter_hold(AdapterBuffer& a, uint8_t byte, int64_t at) {
    if (a.held.empty()) a.due = at + a.latency_ns;
    a.held.push_back(byte);
    return a.held.size() >= ADAPTER_BURST_MAX;
}

std::vector<uint8_t> adapter_take(AdapterBuffer& a) {
    a.due = INT64_MAX;
    return std::exchange(a.held, {});
}

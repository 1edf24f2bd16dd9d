// SPDX-License-Identifier: GPL-2.0-or-later
#include "rx_queue.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace {

// Draws the fate of the byte at `at` once; a lost byte passes the draw on to
// the byte behind it, which then stands at `at`.
void settle_at(RxQueue& q, size_t at, FaultState& faults, const FaultPlan& plan, bool faults_active) {
    while (at < q.bytes.size() && !q.bytes[at].decided) {
        RxByte& b = q.bytes[at];
        b.decided = true;
        if (!faults_active) return;
        const ByteFate fate = decide_rx_fate(faults, plan, b.value);
        switch (fate.kind) {
            case FateKind::keep:
                return;
            case FateKind::drop:
                ++q.counts.dropped;
                q.bytes.erase(q.bytes.begin() + static_cast<std::ptrdiff_t>(at));
                q.mark_next_altered = true;
                continue;
            case FateKind::corrupt:
                ++q.counts.corrupted;
                b.value = fate.value;
                b.altered = true;
                return;
            case FateKind::insert: {
                ++q.counts.inserted;
                const RxByte extra{fate.value, true, true, b.release_ns};
                q.bytes.insert(q.bytes.begin() + static_cast<std::ptrdiff_t>(at), extra);
                return;
            }
        }
    }
}

}  // namespace

void rx_push(RxQueue& q, uint8_t value, int64_t now_ns, int64_t byte_ns, bool altered) {
    const int64_t release = std::max(now_ns, q.last_release_ns) + byte_ns;
    q.last_release_ns = release;
    q.bytes.push_back(RxByte{value, altered, false, release});
    ++q.pushes;
}

void rx_settle_front(RxQueue& q, FaultState& faults, const FaultPlan& plan, bool faults_active) {
    settle_at(q, 0, faults, plan, faults_active);
}

bool rx_front_ready(const RxQueue& q, int64_t now_ns) {
    return !q.bytes.empty() && q.bytes.front().decided && q.bytes.front().release_ns <= now_ns;
}

int64_t rx_front_release(const RxQueue& q) { return q.bytes.empty() ? INT64_MAX : q.bytes.front().release_ns; }

RxByte rx_take_front(RxQueue& q) {
    RxByte b = q.bytes.front();
    q.bytes.pop_front();
    if (q.admitted > 0) {
        // A loss behind the FIFO's bytes is marked on the byte that follows it.
        --q.admitted;
    } else if (q.mark_next_altered) {
        b.altered = true;
        q.mark_next_altered = false;
    }
    return b;
}

unsigned rx_admit(RxQueue& q, int64_t at_ns, size_t capacity, FaultState& faults, const FaultPlan& plan,
                  bool faults_active) {
    unsigned lost = 0;
    while (q.admitted < q.bytes.size() && q.bytes[q.admitted].release_ns <= at_ns) {
        settle_at(q, q.admitted, faults, plan, faults_active);
        if (q.admitted == q.bytes.size()) break;  // the last one was dropped
        if (q.bytes[q.admitted].release_ns > at_ns) break;
        if (q.admitted >= capacity) {
            q.bytes.erase(q.bytes.begin() + static_cast<std::ptrdiff_t>(q.admitted));
            ++q.counts.overrun;
            q.mark_next_altered = true;
            ++lost;
            continue;
        }
        if (q.mark_next_altered) {
            q.bytes[q.admitted].altered = true;
            q.mark_next_altered = false;
        }
        ++q.admitted;
    }
    return lost;
}

int64_t rx_next_release(const RxQueue& q) {
    return q.admitted < q.bytes.size() ? q.bytes[q.admitted].release_ns : INT64_MAX;
}

void rx_packet_started(RxQueue& q, FaultState& faults, const FaultPlan& plan, bool faults_active, unsigned data_size) {
    // Behind the front: the block number, its complement, then the data.
    constexpr size_t DATA_AT = 2;
    constexpr size_t DATA_MAX = XMODEM_1K_PACKET_SIZE - XMODEM_OVERHEAD;
    if (!faults_active || q.bytes.size() <= DATA_AT) return;
    // Only what the host has sent so far can be swapped; it normally sends the packet whole.
    const size_t queued = std::min({size_t{data_size}, DATA_MAX, q.bytes.size() - DATA_AT});
    uint8_t data[DATA_MAX];
    for (size_t i = 0; i < queued; ++i) data[i] = q.bytes[DATA_AT + i].value;
    const SwapFate fate = decide_packet_swap(faults, plan, data, static_cast<unsigned>(queued));
    if (!fate.swap) return;
    RxByte& a = q.bytes[DATA_AT + fate.first];
    RxByte& b = q.bytes[DATA_AT + fate.second];
    std::swap(a.value, b.value);
    a.altered = b.altered = true;
    ++q.counts.swapped;
}

#include "rx_queue.h"

#include <algorithm>
#include <utility>

void rx_push(RxQueue& q, uint8_t value, int64_t now_ns, int64_t byte_ns, bool altered)
{
    const int64_t release = std::max(now_ns, q.last_release_ns) + byte_ns;
    q.last_release_ns = release;
    q.bytes.push_back(RxByte{value, altered, false, release});
}

void rx_settle_front(RxQueue& q, FaultState& faults, const FaultPlan& plan, bool faults_active)
{
    while (!q.bytes.empty() && !q.bytes.front().decided) {
        RxByte& b = q.bytes.front();
        b.decided = true;
        if (!faults_active) return;
        const ByteFate fate = decide_rx_fate(faults, plan, b.value);
        switch (fate.kind) {
        case FateKind::keep:
            return;
        case FateKind::drop:
            ++q.counts.dropped;
            q.bytes.pop_front();
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
            q.bytes.push_front(extra);
            return;
        }
        }
    }
}

bool rx_front_ready(const RxQueue& q, int64_t now_ns)
{
    return !q.bytes.empty() && q.bytes.front().decided && q.bytes.front().release_ns <= now_ns;
}

int64_t rx_front_release(const RxQueue& q)
{
    return q.bytes.empty() ? INT64_MAX : q.bytes.front().release_ns;
}

RxByte rx_take_front(RxQueue& q)
{
    RxByte b = q.bytes.front();
    q.bytes.pop_front();
    if (q.mark_next_altered) {
        b.altered = true;
        q.mark_next_altered = false;
    }
    return b;
}

void rx_packet_started(RxQueue& q, FaultState& faults, const FaultPlan& plan, bool faults_active, unsigned data_size)
{
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

// SPDX-License-Identifier: GPL-2.0-or-later
#include "packet_watch.h"

#include <utility>

namespace {

// The index of the byte delivered `back` bytes ago (1: the newest).
unsigned back_index(const PacketWatch& w, unsigned back) {
    return (w.next + PACKET_WATCH_SIZE - back) % PACKET_WATCH_SIZE;
}

// The wire size of the packet the answer closes, or 0 when none.
unsigned answered_packet(const PacketWatch& w) {
    const unsigned since = w.since_answer;
    if (since == 0) return 0;
    if (since <= XMODEM_1K_PACKET_SIZE && xmodem_packet_size(w.value[back_index(w, since)]) == since) return since;
    for (const auto& [size, start] : {std::pair{STREAM_PACKET_SIZE, SOH}, std::pair{STREAM_1K_PACKET_SIZE, STX}})
        if (since >= size && w.value[back_index(w, size)] == start) return size;
    return 0;
}

// Streamed answers are three bytes: ACK or NAK, block, complement.
constexpr unsigned STREAM_ANSWER_REST = 2;

}  // namespace

void packet_watch_delivered(PacketWatch& w, uint8_t value, bool altered) {
    w.value[w.next] = value;
    w.altered[w.next] = altered;
    w.next = (w.next + 1) % PACKET_WATCH_SIZE;
    if (w.since_answer <= PACKET_WATCH_SIZE) ++w.since_answer;
}

void packet_watch_sent(PacketWatch& w, PacketCounts& c, uint8_t value) {
    if (w.answer_left > 0) {
        --w.answer_left;
        return;
    }
    if (value != ACK && value != NAK) return;
    const unsigned size = answered_packet(w);
    if (size != 0) {
        bool damaged = false;
        for (unsigned i = 0; i < size; ++i)
            if (w.altered[back_index(w, size - i)] && i != XMODEM_COMPLEMENT_INDEX) damaged = true;
        ++c.answered;
        if (value == ACK) ++c.accepted;
        if (damaged) {
            ++c.damaged;
            if (value == ACK) ++c.damaged_accepted;
        }
        if (size == STREAM_PACKET_SIZE || size == STREAM_1K_PACKET_SIZE) w.answer_left = STREAM_ANSWER_REST;
    }
    w.since_answer = 0;
}

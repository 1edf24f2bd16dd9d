// SPDX-License-Identifier: GPL-2.0-or-later
#include "packet_watch.h"

void packet_watch_delivered(PacketWatch& w, uint8_t value, bool altered) {
    if (w.since_answer < XMODEM_1K_PACKET_SIZE) {
        w.value[w.since_answer] = value;
        w.altered[w.since_answer] = altered;
    }
    if (w.since_answer <= XMODEM_1K_PACKET_SIZE) ++w.since_answer;
}

void packet_watch_sent(PacketWatch& w, PacketCounts& c, uint8_t value) {
    if (value != ACK && value != NAK) return;
    const unsigned size = w.since_answer > 0 ? xmodem_packet_size(w.value[0]) : 0;
    if (size != 0 && w.since_answer == size) {
        bool damaged = false;
        for (unsigned i = 0; i < size; ++i)
            if (w.altered[i] && i != XMODEM_COMPLEMENT_INDEX) damaged = true;
        ++c.answered;
        if (value == ACK) ++c.accepted;
        if (damaged) {
            ++c.damaged;
            if (value == ACK) ++c.damaged_accepted;
        }
    }
    w.since_answer = 0;
}

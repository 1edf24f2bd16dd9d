// SPDX-License-Identifier: GPL-2.0-or-later
#include "packet_watch.h"

namespace {

// The index of the byte delivered `back` bytes ago (1: the newest).
unsigned back_index(const PacketWatch& w, unsigned back) {
    return (w.next + PACKET_WATCH_SIZE - back) % PACKET_WATCH_SIZE;
}

// The wire size of the packet the answer closes, or 0 when none.
unsigned answered_packet(const PacketWatch& w) {
    const unsigned since = w.since_answer;
    if (since == 0 || since > XMODEM_1K_PACKET_SIZE) return 0;
    return xmodem_packet_size(w.value[back_index(w, since)]) == since ? since : 0;
}

void xmodem_delivered(PacketWatch& w, uint8_t value, bool altered) {
    w.value[w.next] = value;
    w.altered[w.next] = altered;
    w.next = (w.next + 1) % PACKET_WATCH_SIZE;
    if (w.since_answer <= PACKET_WATCH_SIZE) ++w.since_answer;
}

void xmodem_sent(PacketWatch& w, PacketCounts& c, uint8_t value) {
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
    }
    w.since_answer = 0;
}

// A frame's content as COBS encodes it: its length and first byte.
struct Content {
    bool whole = false;  // every code's run is there
    unsigned length = 0;
    uint8_t first = 0;
};

Content decode(const uint8_t* wire, unsigned size) {
    Content c;
    bool first_known = false;
    unsigned at = 0;
    while (at < size) {
        const unsigned code = wire[at];
        if (code == 0 || at + code > size) return c;
        if (!first_known && code > 1) {
            c.first = wire[at + 1];
            first_known = true;
        }
        c.length += code - 1;
        at += code;
        // A code below a full run stands for a zero after its run, but for the last one.
        if (at < size && code != STREAM_COBS_FULL_RUN) {
            first_known = true;  // a content that starts with a zero keeps c.first 0
            ++c.length;
        }
    }
    c.whole = true;
    return c;
}

void frame_ended(StreamWatch& s, PacketCounts& c, bool delimiter_altered) {
    const unsigned wire = s.length + 1;
    const bool damaged = s.altered || delimiter_altered;
    const bool held = s.length <= sizeof s.frame;
    const Content content = held ? decode(s.frame, s.length) : Content{};
    const bool data =
        content.whole && (content.length == STREAM_SHORT_CONTENT || content.length == STREAM_LONG_CONTENT);
    const bool control = content.whole && content.length == STREAM_CONTROL_CONTENT;
    if (s.length > 0 && (data || (damaged && !control))) {
        ++c.stream.received;
        c.stream.received_bytes += wire;
        ++c.answered;
        if (damaged) ++c.damaged;
        if (data) {
            const unsigned block = content.first & STREAM_ANSWER_BITS;
            s.wire_size[block] = wire;
            s.damaged[block] = damaged;
        }
    }
    s.length = 0;
    s.altered = false;
}

void stream_delivered(StreamWatch& s, PacketCounts& c, uint8_t value, bool altered) {
    if (value == STREAM_DELIMITER) {
        frame_ended(s, c, altered);
        return;
    }
    if (s.length < sizeof s.frame) s.frame[s.length] = value;
    ++s.length;
    s.altered = s.altered || altered;
}

void answered(StreamWatch& s, PacketCounts& c, uint8_t code, unsigned block) {
    if (code == STREAM_NAK) {
        ++c.stream.naks;
        return;
    }
    if (code != STREAM_ACK) return;
    // Cumulative: every block after the last one covered, up to this one, is stored now.
    const unsigned newly = (block - s.acknowledged) & STREAM_ANSWER_BITS;
    for (unsigned k = 1; k <= newly; ++k) {
        const unsigned b = (s.acknowledged + k) & STREAM_ANSWER_BITS;
        ++c.stream.stored;
        c.stream.stored_bytes += s.wire_size[b];
        ++c.accepted;
        if (s.damaged[b]) ++c.damaged_accepted;
    }
    s.acknowledged = block;
}

void stream_sent(StreamWatch& s, PacketCounts& c, uint8_t value) {
    s.answer[s.answer_length++] = value;
    if (s.answer_length < STREAM_ANSWER_SIZE) return;
    const uint8_t code = s.answer[0];
    const unsigned block = s.answer[1];
    const bool known = code == STREAM_ACK || code == STREAM_NAK;
    // LEAVING carries its reason twice instead of its complement.
    const bool leaving = code == STREAM_LEAVING && block == s.answer[2];
    if (leaving || (known && block <= STREAM_ANSWER_BITS && (block ^ s.answer[2]) == STREAM_ANSWER_BITS)) {
        answered(s, c, code, block);
        s.answer_length = 0;
        return;
    }
    // No answer starts here: look for one a byte further on.
    s.answer[0] = s.answer[1];
    s.answer[1] = s.answer[2];
    s.answer_length = STREAM_ANSWER_SIZE - 1;
}

}  // namespace

PacketWatch packet_watch_for(uint32_t entry) {
    PacketWatch w;
    w.streamed = physical_address(entry) == physical_address(STREAM_STAGE_ENTRY);
    return w;
}

void packet_watch_delivered(PacketWatch& w, PacketCounts& c, uint8_t value, bool altered) {
    if (w.streamed)
        stream_delivered(w.stream, c, value, altered);
    else
        xmodem_delivered(w, value, altered);
}

void packet_watch_sent(PacketWatch& w, PacketCounts& c, uint8_t value) {
    if (w.streamed)
        stream_sent(w.stream, c, value);
    else
        xmodem_sent(w, c, value);
}

// SPDX-License-Identifier: GPL-2.0-or-later
// Watches the XMODEM packets a program receives, to tell damaged packets apart.
//
// The receiver reads one packet between two of its answers (132 bytes from
// SOH, 1028 from STX), so when exactly that many bytes came since its last
// ACK or NAK they are the packet it is answering. A streamed receiver (the
// loader's second stage) answers a packet right after its CRC-32 too (135
// or 1031 bytes from SOH or STX), but may have dropped other bytes before it
// (the rest of a refused packet, packets sent before the host heard a NAK):
// there the packet is the last bytes before the answer, when they start with
// SOH or STX. Anything else (a stray byte, a packet cut short) is not
// counted. When one of the packet's bytes was altered by an injected fault
// (the complement byte excepted, which the receiver ignores) the packet is
// damaged; an ACK for a damaged packet is the 8-bit checksum's blind spot at
// work. A streamed answer's block and complement follow its ACK or NAK and
// are no answers of their own.
#pragma once

#include "hardware.h"

#include <cstdint>

constexpr unsigned PACKET_WATCH_SIZE = STREAM_1K_PACKET_SIZE;  // the longest packet

struct PacketWatch {
    uint8_t value[PACKET_WATCH_SIZE] = {};  // the last bytes delivered, round-robin
    bool altered[PACKET_WATCH_SIZE] = {};
    unsigned next = 0;          // where the next delivered byte goes
    unsigned since_answer = 0;  // bytes delivered since the last answer (saturates)
    unsigned answer_left = 0;   // bytes of a streamed answer still to be sent
};

struct PacketCounts {
    uint64_t answered = 0;          // packets answered with ACK or NAK
    uint64_t accepted = 0;          // ... of which acknowledged
    uint64_t damaged = 0;           // ... of which damaged by a fault
    uint64_t damaged_accepted = 0;  // ... of which acknowledged
};

void packet_watch_delivered(PacketWatch& watch, uint8_t value, bool altered);
// A byte the program sends; ACK and NAK close the packet in hand.
void packet_watch_sent(PacketWatch& watch, PacketCounts& counts, uint8_t value);

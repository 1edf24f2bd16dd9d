// SPDX-License-Identifier: GPL-2.0-or-later
// Watches the XMODEM packets a program receives, to tell damaged packets apart.
//
// The receiver reads one packet between two of its answers (132 bytes from
// SOH, 1028 from STX), so when exactly that many bytes came since its last
// ACK or NAK they are the packet it is answering; anything else (a stray
// byte, a packet cut short, the rest of one the receiver dropped) is not
// counted. When one of the packet's bytes was altered by an injected fault
// (the complement byte excepted, which the receiver ignores) the packet is
// damaged; an ACK for a damaged packet is the 8-bit checksum's blind spot at
// work.
#pragma once

#include "hardware.h"

#include <cstdint>

struct PacketWatch {
    uint8_t value[XMODEM_1K_PACKET_SIZE] = {};
    bool altered[XMODEM_1K_PACKET_SIZE] = {};
    unsigned since_answer = 0;  // bytes delivered since the last answer (saturates)
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

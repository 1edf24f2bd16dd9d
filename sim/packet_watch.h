// SPDX-License-Identifier: GPL-2.0-or-later
// Watches the packets a program receives and its answers to them.
//
// XMODEM (every entry but the second stage's): the receiver reads one packet
// between two of its answers (132 bytes from SOH, 1028 from STX), so when
// exactly that many bytes came since its last ACK or NAK they are the packet
// it is answering; anything else (a stray byte, a packet cut short) is not
// counted. When one of the packet's bytes was altered by an injected fault
// (the complement byte excepted, which the receiver ignores) the packet is
// damaged; an ACK for a damaged packet is the 8-bit checksum's blind spot at
// work.
//
// The stream (the loader's second stage, stream_wire.h): the frames are found
// by their delimiter, whatever the receiver makes of them. A frame whose
// content has a data length is a data frame, and so is any other damaged
// frame that is no control frame: damage that changed a data frame's length
// still cost its bytes. The receiver's answers are cumulative, so a frame is
// stored when an ACK covers its block; its wire size and damage are those of
// the last frame delivered with that block number. For the packet counts
// every data frame received counts as answered and every stored frame as
// accepted; a stored frame last delivered damaged is a damaged one accepted.
#pragma once

#include "hardware.h"
#include "stream_wire.h"

#include <cstdint>

constexpr unsigned PACKET_WATCH_SIZE = XMODEM_1K_PACKET_SIZE;  // the longest packet

// Block numbers as the stream's answers carry them.
constexpr unsigned STREAM_BLOCKS = STREAM_ANSWER_BITS + 1;

struct StreamWatch {
    uint8_t frame[STREAM_LONG_FRAME_MAX] = {};  // the frame in hand, without its delimiter
    unsigned length = 0;                        // its wire bytes so far (may pass what frame holds)
    bool altered = false;                       // one of them (or the delimiter) was altered
    unsigned wire_size[STREAM_BLOCKS] = {};     // by block: the last data frame delivered with it
    bool damaged[STREAM_BLOCKS] = {};
    unsigned acknowledged = 0;                // the last block an ACK covered (blocks start at 1)
    uint8_t answer[STREAM_ANSWER_SIZE] = {};  // the answer being sent
    unsigned answer_length = 0;
};

struct PacketWatch {
    bool streamed = false;                  // the program is the second stage
    uint8_t value[PACKET_WATCH_SIZE] = {};  // the last bytes delivered, round-robin
    bool altered[PACKET_WATCH_SIZE] = {};
    unsigned next = 0;          // where the next delivered byte goes
    unsigned since_answer = 0;  // bytes delivered since the last answer (saturates)
    StreamWatch stream;
};

// Streamed transfers: what crossed the line and what the receiver kept of it.
struct StreamCounts {
    uint64_t naks = 0;            // NAKs sent
    uint64_t received = 0;        // data frames received
    uint64_t received_bytes = 0;  // ... their wire bytes, delimiters included
    uint64_t stored = 0;          // frames an ACK covered
    uint64_t stored_bytes = 0;    // ... their wire bytes
};

struct PacketCounts {
    uint64_t answered = 0;          // packets answered with ACK or NAK
    uint64_t accepted = 0;          // ... of which acknowledged
    uint64_t damaged = 0;           // ... of which damaged by a fault
    uint64_t damaged_accepted = 0;  // ... of which acknowledged
    StreamCounts stream;
};

// A fresh watch for a program started at entry: the stream's for the second stage.
PacketWatch packet_watch_for(uint32_t entry);
// A byte delivered to the program; altered when an injected fault touched it.
void packet_watch_delivered(PacketWatch& watch, PacketCounts& counts, uint8_t value, bool altered);
// A byte the program sends: its answers close packets or cover frames.
void packet_watch_sent(PacketWatch& watch, PacketCounts& counts, uint8_t value);

// SPDX-License-Identifier: GPL-2.0-or-later
// The receive queue: bytes from the host on their way to the handheld.
//
// Each byte is queued with the time at which the paced line would have
// delivered it: one byte time after the previous byte's release, or after its
// own arrival when the line was idle. Its fault fate is drawn only when it
// reaches the front, so only bytes the handheld looks at while faults are on
// are hit. A lost byte leaves a mark that the next byte taken carries as
// "altered", which is how the packet watch learns of the loss; every consumer
// takes bytes through rx_take_front so the mark is carried and cleared the
// same way whoever reads. Times are passed in, so nothing here reads a clock.
//
// While a program runs, the front of the queue is the UART's receive FIFO: a
// byte enters it at its release (in the program's time, rx_admit), its fate
// drawn as it enters. A byte released while the FIFO is full is lost to
// overrun, and the next byte that enters carries the loss mark. An unpaced
// line passes an unlimited capacity.
#pragma once

#include "faults.h"
#include "hardware.h"

#include <cstddef>
#include <cstdint>
#include <deque>

struct RxByte {
    uint8_t value = 0;
    bool altered = false;  // changed, inserted, or following a lost byte
    bool decided = false;  // its fault fate has been drawn
    int64_t release_ns = 0;
};

struct RxFaultCounts {
    uint64_t dropped = 0;
    uint64_t corrupted = 0;
    uint64_t inserted = 0;
    uint64_t swapped = 0;  // pairs of bytes
    uint64_t overrun = 0;  // lost because the UART's FIFO was full
};

struct RxQueue {
    std::deque<RxByte> bytes;
    int64_t last_release_ns = 0;
    bool mark_next_altered = false;  // a byte was lost; the next one taken (or admitted) shows it
    size_t admitted = 0;             // bytes at the front that are in the UART's FIFO
    uint64_t pushes = 0;             // bytes ever queued: a waiter sees that the host sent something
    RxFaultCounts counts;
};

// Queues a byte that arrived at now_ns on a line where one byte takes byte_ns
// (0: unpaced); `altered` when it was already damaged on its way.
void rx_push(RxQueue& q, uint8_t value, int64_t now_ns, int64_t byte_ns, bool altered = false);
// Draws the front byte's fate once (none while faults are off); a lost byte
// passes the draw on to the byte behind it.
void rx_settle_front(RxQueue& q, FaultState& faults, const FaultPlan& plan, bool faults_active);
// Whether the front byte is settled and released at now_ns.
bool rx_front_ready(const RxQueue& q, int64_t now_ns);
// Release time of the front byte; INT64_MAX when the queue is empty.
int64_t rx_front_release(const RxQueue& q);
// Removes the front byte (call only when it is ready); one that did not come
// through the FIFO carries a pending loss mark.
RxByte rx_take_front(RxQueue& q);
// Moves every byte released by at_ns into the FIFO, drawing each one's fate as
// it enters; a byte that finds `capacity` bytes there is lost. Returns how
// many were lost so.
unsigned rx_admit(RxQueue& q, int64_t at_ns, size_t capacity, FaultState& faults, const FaultPlan& plan,
                  bool faults_active);
// Release time of the first byte not in the FIFO; INT64_MAX when there is none.
int64_t rx_next_release(const RxQueue& q);
// A program has just taken the SOH or STX that starts a packet of data_size
// data bytes, so the queue's front is its block number (or the zero that ends
// a stream frame: the front is the next frame's first COBS code): with faults
// on, two of the data bytes already queued may be swapped (decide_packet_swap),
// both then marked altered.
void rx_packet_started(RxQueue& q, FaultState& faults, const FaultPlan& plan, bool faults_active,
                       unsigned data_size = XMODEM_PACKET_SIZE - XMODEM_OVERHEAD);

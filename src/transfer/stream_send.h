// SPDX-License-Identifier: GPL-2.0-or-later
// Streamed sender for the fast line: packets back to back, a window of them
// ahead of the receiver's answers, going back to the first one it asks for.
//
// Stop-and-wait pays, for every packet, the line's turn-around and whatever a
// USB adapter's latency timer adds (16 ms on common ones): at 921600 bit/s
// that is more than a 1 KiB packet's own time on the line. Our second stage
// (firmware/stream_receive.c) takes a stream instead. A packet is SOH (128
// data bytes) or STX (1024), the block number and its complement, the data,
// and the CRC-32 of everything sent so far with this packet's data, low byte
// first; whole kilobytes go as STX and the rest as SOH packets, the last one
// filled, as the XMODEM sender does, so the receiver stores the same bytes.
// The receiver answers in threes, a code, the block number's low seven bits
// and their complement (the port strips bit 7 of what it reads; the window
// holds far fewer than 128 packets, so seven bits name one in it):
// "ACK b" (every packet up to b is stored), "NAK b" (send again from b), and
// after our EOT, ~EOT "ACK e" with e the block after the last. Any other byte
// (noise, an answer damaged on the way) is passed over: the next answer
// covers what it said. CAN, CAN ends the run as the receiver's give-up.
//
// The sender writes packets while the unanswered ones take less than the
// window, and at least two are in flight; it goes back on a NAK only (the
// receiver NAKs again after each 5 s of silence of its own, so a lost NAK or
// ACK costs a wait, never a resend into a receiver that may be gone). Ten
// NAKs without a packet newly acknowledged, or ten 5 s waits without any
// byte, end the run as the XMODEM sender's resends and time-outs do. Every write and read is recorded in the
// receiver session, which then knows the receiver is streamed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "core/file_check.h"
#include "transfer/progress.h"
#include "transfer/xmodem.h"
#include "transfer/xmodem_steps.h"

constexpr int STREAM_CHECK_SIZE = 4;                                               // the CRC-32 after the data
constexpr int STREAM_LONG_PACKET_SIZE = 3 + XMODEM_1K_DATA_SIZE + STREAM_CHECK_SIZE;  // 1031 bytes on the wire
constexpr unsigned char STREAM_END_SECOND = 0xFF ^ 0x04;                             // ~EOT: after EOT, ends the stream

// The most unanswered bytes in flight at rate bit/s (see stream_send.cpp for why).
size_t stream_window_bytes(unsigned long rate);

// One answer of the receiver, read from its three bytes.
constexpr unsigned char STREAM_ANSWER_BITS = 0x7F;  // of a block number, in an answer

struct StreamAnswer {
    unsigned char code = 0;   // ACK or NAK, or CAN for the receiver's CAN, CAN
    unsigned char block = 0;  // its low seven bits
};

// Finds answers in the bytes from the receiver, whatever lies between them.
struct StreamAnswerReader {
    unsigned char recent[3] = {};  // the last bytes, the newest last
    int held = 0;                  // how many of them count
};
// The answer that byte completes, if any.
std::optional<StreamAnswer> stream_answer_take(StreamAnswerReader& reader, unsigned char byte);

// A packet as it goes on the wire.
struct StreamPacket {
    std::vector<unsigned char> wire;
    unsigned char block = 0;
    int data_size = 0;
};

// The packets not yet acknowledged, oldest first; the first `sent` of them are on the line.
struct StreamWindow {
    std::deque<StreamPacket> packets;
    size_t sent = 0;
    size_t sent_bytes = 0;  // wire bytes of those
};

// What an answer did to the window.
struct StreamStep {
    int64_t acknowledged = 0;  // data bytes newly known to be stored
    bool went_back = false;    // a NAK sends again from the first unacknowledged packet
};
// Applies an ACK or NAK; an answer naming no packet on the line changes nothing.
StreamStep stream_window_answer(StreamWindow& window, StreamAnswer answer);
// Whether one more packet may go out.
bool stream_window_open(const StreamWindow& window, size_t window_bytes);
// Sends everything again from the first unacknowledged packet.
void stream_window_go_back(StreamWindow& window);

// The packet that carries the data of the packet in hand of transfer (read by
// xmodem_readblock and added to its digest), with its block number.
StreamPacket stream_packet_of(const XmodemTransfer& transfer);

struct StreamOptions {
    unsigned long rate = 0;              // of the line, for the window
    bool start_nak_seen = false;         // the receiver's first NAK was read by the caller
    const FileCheck* checked = nullptr;  // the file as checked before the run began
    std::string* start_text = nullptr;   // receives what came before the first NAK
    ProgressMeter* meter = nullptr;      // the meter the transfer advances; one of its own when none is given
    // The monitor's prompt: the receiver gave up and is back there.
    LineEndRule monitor_prompt = nullptr;
};

// As xmodem_send (the same file checks, digest and messages), over the stream.
int64_t stream_send(const char* file_name, int port_fd, XmodemDigest* digest, const StreamOptions& options);

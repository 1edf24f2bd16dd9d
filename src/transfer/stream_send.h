// SPDX-License-Identifier: GPL-2.0-or-later
// Streamed sender for the fast line: frames back to back, a window of them
// ahead of the receiver's answers, going back to the first one it asks for.
//
// Stop-and-wait pays, for every packet, the line's turn-around and whatever a
// USB adapter's latency timer adds (16 ms on common ones): at 921600 bit/s
// that is more than a 1 KiB packet's own time on the line. Our second stage
// (firmware/stream_receive.c) takes a stream of frames instead, as
// stream_wire.h lays them out: whole kilobytes go as 1 KiB frames and the
// rest as 128-byte ones, the last one filled, as the XMODEM sender does, so
// the receiver stores the same bytes. One zero goes before the first frame.
//
// The sender writes frames while the unanswered ones take less than the
// window, and at least two are in flight; it goes back on a NAK only (the
// receiver NAKs again after each 5 s of silence of its own, so a lost NAK or
// ACK costs a wait, never a resend into a receiver that may be gone). Ten
// NAKs without a frame newly acknowledged, or ten 5 s waits without any
// byte, end the run as the XMODEM sender's resends and time-outs do. The
// answers of a batch are looked through for LEAVING before any NAK in it is
// acted on: a receiver that gave up is sent nothing more.
//
// Once every frame is out, END follows; the receiver answers LEAVING D when
// it holds everything, and BYE lets it go at once. END goes again after
// STREAM_RESEND_MS without that answer, but only within STREAM_SEND_WINDOW_MS
// of the previous END or of a fresh ACK or NAK (a receiver that answers so is
// still receiving): a byte that reached a receiver already gone would reach
// the monitor's command line. Every step that changes what the receiver may
// be doing is told to the receiver session, whose abort follows the same rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "core/file_check.h"
#include "transfer/progress.h"
#include "transfer/stream_frame.h"
#include "transfer/xmodem.h"
#include "transfer/xmodem_steps.h"

// The most unanswered bytes in flight at rate bit/s (see stream_send.cpp for why).
size_t stream_window_bytes(unsigned long rate);

// A data frame as it goes on the wire.
struct StreamFrame {
    std::vector<unsigned char> wire;
    unsigned char block = 0;
    int data_size = 0;
};

// The frames not yet acknowledged, oldest first; the first `sent` of them are on the line.
struct StreamWindow {
    std::deque<StreamFrame> frames;
    size_t sent = 0;
    size_t sent_bytes = 0;  // wire bytes of those
};

// What an answer did to the window.
struct StreamStep {
    int64_t acknowledged = 0;  // data bytes newly known to be stored
    bool went_back = false;    // a NAK sends again from the first unacknowledged frame
};
// Applies an ACK or NAK; an answer naming no frame on the line changes nothing.
StreamStep stream_window_answer(StreamWindow& window, StreamAnswer answer);
// Whether one more frame may go out.
bool stream_window_open(const StreamWindow& window, size_t window_bytes);
// Sends everything again from the first unacknowledged frame.
void stream_window_go_back(StreamWindow& window);

// The frame that carries the data of the packet in hand of transfer (read by
// xmodem_readblock and added to its digest), with its block number.
StreamFrame stream_frame_of(const XmodemTransfer& transfer);

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

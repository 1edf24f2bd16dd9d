// SPDX-License-Identifier: GPL-2.0-or-later
// The streamed line's frames and answers (stream_wire.h), as the host makes
// and reads them: shared by the sender and by the abort, which runs from a
// signal handler, so nothing here allocates or keeps state of its own.
#pragma once

#include <cstddef>
#include <optional>

#include "transfer/stream_wire.h"

// Room for a frame of length content bytes: a COBS code byte for each 254
// begun, one more for an empty tail, and the delimiter.
constexpr size_t stream_frame_room(size_t length) { return length + length / 254 + 2; }

// Writes content as a frame (COBS, then STREAM_DELIMITER) to out, which holds
// stream_frame_room(length) bytes; the frame's length.
size_t stream_frame_encode(const unsigned char* content, size_t length, unsigned char* out);

// A control frame: code, arg and its complement.
constexpr size_t STREAM_CONTROL_FRAME_MAX = stream_frame_room(STREAM_CONTROL_CONTENT);
size_t stream_control_frame(unsigned char code, unsigned char arg, unsigned char* out);

// One answer of the receiver, read from its three bytes.
struct StreamAnswer {
    unsigned char code = 0;  // STREAM_ACK, STREAM_NAK or STREAM_LEAVING
    unsigned char arg = 0;   // a block's low seven bits, or the leaving reason
};

// Finds answers in the bytes from the receiver, whatever lies between them.
struct StreamAnswerReader {
    unsigned char recent[3] = {};  // the last bytes, the newest last
    int held = 0;                  // how many of them count
};
// The answer that byte completes, if any.
std::optional<StreamAnswer> stream_answer_take(StreamAnswerReader& reader, unsigned char byte);

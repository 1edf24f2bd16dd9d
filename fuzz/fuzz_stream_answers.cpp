// SPDX-License-Identifier: GPL-2.0-or-later
// The streamed line's answer reader: any bytes the receiver's side of the line
// can carry, noise and damaged answers included.
//
// Against an independent reading of the same rule over the same bytes: an
// answer is taken exactly when the three bytes since the last one taken are
// ACK or NAK with a 7-bit argument and its complement, or LEAVING with a known
// reason twice; a taken answer's bytes start no other. And a COBS frame made
// of the input holds no zero before its delimiter and no more bytes than the
// framing allows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "transfer/stream_frame.h"
#include "transfer/stream_wire.h"

namespace {

bool answer_at(const uint8_t* b) {
    if ((b[0] == STREAM_ACK || b[0] == STREAM_NAK) && b[1] <= STREAM_ANSWER_BITS && b[2] == (b[1] ^ STREAM_ANSWER_BITS))
        return true;
    const bool reason = b[1] == STREAM_LEFT_DONE || b[1] == STREAM_LEFT_GAVE_UP || b[1] == STREAM_LEFT_ABORTED;
    return b[0] == STREAM_LEAVING && reason && b[2] == b[1];
}

void check_answers(const uint8_t* data, size_t size) {
    StreamAnswerReader reader;
    size_t since = 0;  // bytes since the last answer taken
    for (size_t i = 0; i < size; ++i) {
        const std::optional<StreamAnswer> answer = stream_answer_take(reader, data[i]);
        ++since;
        const bool expected = since >= 3 && answer_at(data + i - 2);
        if (answer.has_value() != expected) std::abort();
        if (!answer) continue;
        if (answer->code != data[i - 2] || answer->arg != data[i - 1]) std::abort();
        since = 0;
    }
}

void check_frame(const uint8_t* data, size_t size) {
    if (size > STREAM_LONG_CONTENT) size = STREAM_LONG_CONTENT;
    std::vector<unsigned char> wire(stream_frame_room(size));
    const size_t length = stream_frame_encode(data, size, wire.data());
    if (length == 0 || length > wire.size() || wire[length - 1] != STREAM_DELIMITER) std::abort();
    if (size == STREAM_LONG_CONTENT && length > STREAM_LONG_FRAME_MAX) std::abort();
    for (size_t i = 0; i + 1 < length; ++i)
        if (wire[i] == STREAM_DELIMITER) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    check_answers(data, size);
    check_frame(data, size);
    return 0;
}

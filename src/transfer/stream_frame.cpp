// SPDX-License-Identifier: GPL-2.0-or-later
#include "transfer/stream_frame.h"

size_t stream_frame_encode(const unsigned char* content, size_t length, unsigned char* out) {
    size_t code_at = 0;  // where the current run's code byte goes
    size_t put = 1;
    unsigned char run = 1;  // the code: one more than the bytes in the run
    for (size_t i = 0; i < length; ++i) {
        if (content[i] != 0) {
            out[put++] = content[i];
            ++run;
        }
        // A zero ends the run; so does a full one, whose code says no zero follows.
        if (content[i] == 0 || run == STREAM_COBS_FULL_RUN) {
            out[code_at] = run;
            code_at = put++;
            run = 1;
        }
    }
    out[code_at] = run;
    out[put++] = STREAM_DELIMITER;
    return put;
}

size_t stream_control_frame(unsigned char code, unsigned char arg, unsigned char* out) {
    const unsigned char content[STREAM_CONTROL_CONTENT] = {code, arg, static_cast<unsigned char>(~arg)};
    return stream_frame_encode(content, sizeof content, out);
}

std::optional<StreamAnswer> stream_answer_take(StreamAnswerReader& reader, unsigned char byte) {
    reader.recent[0] = reader.recent[1];
    reader.recent[1] = reader.recent[2];
    reader.recent[2] = byte;
    if (reader.held < 3) ++reader.held;
    const unsigned char code = reader.recent[0];
    const unsigned char arg = reader.recent[1];
    if (reader.held == 3 && (code == STREAM_ACK || code == STREAM_NAK) && arg <= STREAM_ANSWER_BITS &&
        reader.recent[2] == (arg ^ STREAM_ANSWER_BITS)) {
        reader.held = 0;  // its bytes start no other answer
        return StreamAnswer{code, arg};
    }
    // LEAVING: a known reason, twice.
    if (reader.held == 3 && code == STREAM_LEAVING && reader.recent[2] == arg &&
        (arg == STREAM_LEFT_DONE || arg == STREAM_LEFT_GAVE_UP || arg == STREAM_LEFT_ABORTED)) {
        reader.held = 0;
        return StreamAnswer{code, arg};
    }
    return std::nullopt;
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "transfer/loader_upload.h"

#include <unistd.h>

#include <cstring>

#include "core/fatal.h"
#include "serial/port.h"
#include "transfer/control_bytes.h"

namespace {

constexpr unsigned char SEVEN_BITS = 0x7F;  // the line is 7-bit; a stray bit 7 must not hide ACK or NAK

// Reads until the monitor answers the line just sent. last_byte carries the
// last byte received across the whole upload, for the failure message.
void await_line_answer(int port_fd, unsigned char& last_byte) {
    for (;;) {
        unsigned char byte = 0;
        // One byte per read; an empty read means 0.5 s of silence (VTIME).
        if (read(port_fd, &byte, 1) != 1) error_exit("Error: ex_send read '0x%x' instead of ACK", last_byte);
        last_byte = byte & SEVEN_BITS;
        if (last_byte == NAK) error_exit("Error:  ex_send received NAK.  Aborting");
        if (last_byte == ACK) return;
        // Anything else is the monitor's echo or chatter.
    }
}

void send_lines(int port_fd, const char (*lines)[LOADER_SREC_SLOT], int count) {
    // Reported as 0 when the very first answer never comes.
    unsigned char last_byte = 0;
    for (int line = 0; line < count; ++line) {
        const char* text = lines[line];
        port_send(port_fd, text, static_cast<int>(strlen(text)), Capture::skip);
        port_send(port_fd, &ETX, 1, Capture::skip);
        await_line_answer(port_fd, last_byte);
    }
}

}  // namespace

int ex_send(int port_fd) {
    send_lines(port_fd, loader_srec, loader_srec_count);
    return 0;
}

void ex_send_stream_stage(int port_fd) { send_lines(port_fd, stream_srec, stream_srec_count); }

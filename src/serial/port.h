// SPDX-License-Identifier: GPL-2.0-or-later
// The serial line: opening it, its settings, and sending.
//
// Plain functions over one open descriptor; no state is kept between calls but
// what the terminal driver holds, and the input settings a stream set aside. port_setup sets the port raw at 115200
// bit/s (a fast line changes only the rate, for one transfer: line_speed.h),
// 8N1 with RTS/CTS, VMIN 0 / VTIME 5, so every read returns one byte or
// nothing after 0.5 s. port_send waits up to 50 s for room and writes its
// text with one write. Reading lines is the line reader's (line_reader.h);
// the XMODEM sender and the loader upload read and write the same descriptor
// directly.
#pragma once

// A descriptor, or -1 when the device cannot be opened.
int port_open(const char* device_path);
void port_setup(int port_fd);
// A streamed transfer's answers are binary: from before the fast line's
// negotiation until the stream has ended the port reads every byte as it came
// (no CR to LF, no stripped bit 7, no parity marks, no flow control bytes
// taken, a break no signal), then port_stream_done puts back the input
// settings port_stream_raw found. Both change nothing else, the rate included.
void port_stream_raw(int port_fd);
void port_stream_done(int port_fd);
// Whether a text sent is copied into the capture log (when -l keeps one).
enum class Capture : bool { skip = false, record = true };

// Writes all length bytes with one write, after waiting for the port to be writable.
void port_send(int port_fd, const void* payload, int length, Capture capture);

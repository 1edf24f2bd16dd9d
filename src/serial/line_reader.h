// SPDX-License-Identifier: GPL-2.0-or-later
// The line reader: the port's descriptor, the line last read and the capture.
//
// One LineReader stands for the open line during a run. It reads one byte at a
// time (waiting through byte_wait.h at most 0.5 s for each, as the terminal's
// VTIME would) and reads nothing ahead, so the transfer layer can read and
// write its descriptor directly between its calls.
//
// readline assembles a line (line_assembly.h) in the reader's own 1024-byte
// buffer. Its caller's end-of-line rule is tested on the text stored so far
// before the byte in hand and again after every 0.5 s without input, so a
// text that has no line end (the monitor's prompt) ends the line after 0.5 s
// of silence or at the next byte, which is then dropped. Leading CR and LF are
// skipped, so the LF of a CR LF pair is eaten by the next call; NUL bytes are
// dropped. The first byte of a line is awaited for up to 50 s; once bytes
// have come, 50 s without a character stored (silence, or only bytes the line
// drops) also ends the read as a time-out. A line that grows past 1023
// characters ends the run.
//
// readflush reads until 100 ms pass without input, or ends the run when that
// has not happened within 10 s, and hands back what it read (CR removed, at
// most 1024 bytes), so that callers can look at replies they otherwise only
// wait out: the echo of a command, the receiver's verdict.
//
// A hung-up line (the device went away) is a failed read for every reader:
// readline and end_text_within give up, readflush ends the run.
//
// With the capture log on (-l, capture.h) each line read, each drain and each
// text sent as Capture::record is copied to it.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "serial/line_assembly.h"
#include "serial/port.h"

constexpr int DRAIN_TEXT_SIZE = 1024;  // a drain keeps this much of what it reads

class LineReader {
public:
    // port_fd is set up (port_setup); ends_line is the caller's end-of-line
    // rule. The capture is on when -l turned it on before this.
    LineReader(int port_fd, LineEndRule ends_line);

    int fd() const { return port_fd; }
    // The line last read, NUL-terminated: empty before the first read, and
    // after a read that timed out it holds what came before the time-out.
    const char* line() const { return assembly.text.data(); }
    std::string_view text() const { return {assembly.text.data(), static_cast<size_t>(assembly.length)}; }
    // The end-of-line rule over the whole line last read.
    bool line_has_end_text() const;

    // 0 with a line in line(); -1 on time-out, a failed read or a hung-up line.
    int readline();
    // Ends the run after a readline that gave -1: a failed read is reported
    // with its errno (error_exit), a silent or hung-up line is the program's
    // own verdict (refuse_exit).
    [[noreturn]] void readline_failed_exit(const char* message) const;
    // Reads lines until one satisfies the end-of-line rule (true), or for about
    // limit (false); a line too long is passed over like any other.
    bool end_text_within(std::chrono::milliseconds limit);
    // Reads until the line has been quiet for 100 ms; the text read, without
    // CR, cut after DRAIN_TEXT_SIZE bytes.
    std::string readflush();
    // port_send on this line, copied to the capture when capture says so.
    void send(const void* payload, int length, Capture capture);
    // Sends a constant text whole (without its NUL).
    template <size_t N>
    void send_text(const char (&text)[N], Capture capture) {
        send(text, static_cast<int>(N - 1), capture);
    }
    // After an empty read: true when the line has hung up.
    bool hung_up() const;

private:
    // One byte within 0.5 s: 1 with it, 0 with nothing, -1 on a failed read.
    int read_byte(char& byte);
    void capture_text(const char* text, int length) const;

    int port_fd;
    LineAssembly assembly;
    bool read_failed = false;  // the last readline ended on a failed read
    bool capture;
};

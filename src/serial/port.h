// SPDX-License-Identifier: GPL-2.0-or-later
// The serial line to the PMON monitor.
//
// Plain functions over one open descriptor; no state is kept between calls but
// what the terminal driver holds. port_setup sets the port raw at the
// monitor's 115200 bit/s (a fast line changes only the rate, for one
// transfer: line_speed.h), 8N1 with RTS/CTS, VMIN 0 / VTIME 5, so every read returns one byte or nothing after
// 0.5 s. Every read asks for exactly one byte and nothing is read ahead: the
// XMODEM sender and the loader upload read and write the same descriptor
// directly between these calls.
//
// The line reader tests the text stored so far for a prompt before it stores
// the byte in hand, and again after every empty 0.5 s read, so a prompt (which
// has no line end) is recognised after 0.5 s of silence or at the next byte,
// which is then dropped. Leading CR and LF are skipped, so the LF of a CR LF
// pair is eaten by the next call; NUL bytes are dropped (line_assembly.h). The
// first byte of a line is awaited for 10 selects of 5 s; once bytes have come,
// 50 s without a character stored (silence, or only bytes the line drops) also
// ends the read as a time-out. A drain reads until 100 ms pass without input,
// or ends the run when that has not happened within 10 s, and hands back what
// it read (CR removed, at most 1024 bytes), so that callers can
// look at replies they otherwise only wait out: the echo of a command, the
// receiver's verdict.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

constexpr char PMON_PROMPT[] = "PMON> ";  // with its trailing space
constexpr char PMRAM_PROMPT[] = "PMram>";
constexpr int LINE_BUFFER_SIZE = 1024;  // a line holds at most 1023 characters
constexpr int DRAIN_TEXT_SIZE = 1024;   // a drain keeps this much of what it reads

// True when text contains either prompt (plain, case-sensitive substring search).
bool line_has_prompt(const char* text);
// The same over the first length bytes, which may hold NUL bytes.
bool line_has_prompt(const char* text, size_t length);

// A descriptor, or -1 when the device cannot be opened.
int port_open(const char* device_path);
void port_setup(int port_fd);
// Whether port_send copies its text into the capture log (when -l keeps one).
enum class Capture : bool { skip = false, record = true };

// Writes all length bytes with one write, after waiting for the port to be writable.
void port_send(int port_fd, const void* payload, int length, Capture capture);
// 0 with a line (or a prompt) in buffer; -1 on time-out or a failed read.
int port_readline(int port_fd, char* buffer);
// Reads lines into buffer until one holds a prompt (true), or for about
// limit (false); a line too long is passed over like any other.
bool port_prompt_within(int port_fd, char* buffer, std::chrono::milliseconds limit);
// Reads until the line has been quiet for 100 ms; the text read, without CR,
// cut after DRAIN_TEXT_SIZE bytes.
std::string port_readflush(int port_fd);
// "\r\r", a drain, "\r"; the drained text.
std::string port_wakeup(int port_fd);
// Wakes the monitor and reads the first line after it into buffer; the text
// the wake-up drained.
std::string port_getpmon(int port_fd, char* buffer);
// After an empty read: true when the line has hung up (the device went away).
bool port_hung_up(int port_fd);

// SPDX-License-Identifier: GPL-2.0-or-later
// The line reader's handling of each byte, apart from the port.
//
// A line is assembled in the caller's 1024-byte buffer, which stays
// NUL-terminated, so it holds at most 1023 characters. NUL bytes are dropped
// as they come: stored, they would end the line's text early and hide an
// "Error" or a prompt behind them. Line ends before the first stored
// character are skipped. The prompt test looks at the text stored so far
// before the byte in hand: the last character of a prompt is stored first,
// and the prompt completes the line at the next byte (which is dropped) or
// after 0.5 s of silence. A CR or LF completes the line and is not stored. A
// 1024th character with no prompt and no line end makes the line too long.
#pragma once

enum class LineStep {
    stored,    // the byte joined the line
    dropped,   // a NUL, or a line end before the line began
    complete,  // the line is whole; the byte in hand was consumed
    too_long,  // the byte would have been the 1024th character; not stored
};

struct LineAssembly {
    char* buffer;    // LINE_BUFFER_SIZE bytes, all zero at the start
    int length = 0;  // characters stored
};

LineStep line_take_byte(LineAssembly& line, char byte);
// After 0.5 s without input: true when the text stored so far holds a prompt.
bool line_complete_on_silence(const LineAssembly& line);

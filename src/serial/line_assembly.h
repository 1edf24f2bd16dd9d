// SPDX-License-Identifier: GPL-2.0-or-later
// The line reader's handling of each byte, apart from the port.
//
// A line is assembled in a 1024-byte buffer of its own, which stays
// NUL-terminated, so it holds at most 1023 characters. NUL bytes are never
// stored: they would end the line's text early and hide what the caller looks
// for behind them. Line ends and NULs before the first stored character are
// skipped. A line may also end without a line end, on a text the caller names
// (the monitor's prompt, which has no line end): that test looks at the text
// stored so far before the byte in hand, so the text's last character is
// stored first, and the line completes at the next byte, a NUL included
// (which is dropped), or after 0.5 s of silence. A CR or LF completes the
// line and is not stored. A 1024th character with no such text and no line
// end makes the line too long.
#pragma once

#include <array>
#include <string_view>

constexpr int LINE_BUFFER_SIZE = 1024;  // a line holds at most 1023 characters

// True when the text stored so far ends the line though no line end came.
using LineEndRule = bool (*)(std::string_view stored);

enum class LineStep {
    stored,    // the byte joined the line
    dropped,   // a NUL before the end text, or a line end before the line began
    complete,  // the line is whole; the byte in hand was consumed
    too_long,  // the byte would have been the 1024th character; not stored
};

struct LineAssembly {
    LineEndRule ends_line = nullptr;            // the caller's rule; none: only CR and LF end a line
    std::array<char, LINE_BUFFER_SIZE> text{};  // NUL-terminated
    int length = 0;                             // characters stored
};

// Empties the line for the next one, keeping its rule.
void line_clear(LineAssembly& line);
LineStep line_take_byte(LineAssembly& line, char byte);
// After 0.5 s without input: true when the text stored so far ends the line.
bool line_complete_on_silence(const LineAssembly& line);

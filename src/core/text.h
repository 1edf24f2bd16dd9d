// SPDX-License-Identifier: GPL-2.0-or-later
// Small text rules that several layers share: which bytes are printable, what
// a hexadecimal digit is worth, and how text reaches standard error.
//
// Printable is the ASCII range 0x20 to 0x7E, as isprint sees it in the
// default locale, whatever the locale of the run: the monitor's lines, the
// capture log and the messages that quote the line all judge a byte alike.
// A hexadecimal digit is "0".."9", "a".."f" or "A".."F"; callers that accept
// only one case check that themselves. write_stderr uses write(2) alone, so
// it is safe in a signal handler and never mixes with stdio's buffer.
#pragma once

#include <cstddef>

constexpr unsigned char FIRST_PRINTABLE = 0x20;  // the space
constexpr unsigned char LAST_PRINTABLE = 0x7E;   // "~"; DEL and every byte from 0x80 up are not

constexpr bool is_printable(unsigned char byte) { return byte >= FIRST_PRINTABLE && byte <= LAST_PRINTABLE; }
constexpr bool is_printable(char c) { return is_printable(static_cast<unsigned char>(c)); }

// The value of one hexadecimal digit of either case, or -1 for any other character.
constexpr int hex_digit_value(char c) {
    constexpr int LETTER_DIGIT_BASE = 10;  // "a"/"A" is ten
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + LETTER_DIGIT_BASE;
    if (c >= 'A' && c <= 'F') return c - 'A' + LETTER_DIGIT_BASE;
    return -1;
}

// Every byte of text to standard error, a write cut by a signal resumed; a
// failed write drops the rest, since there is nowhere left to report it.
// Async-signal-safe; leaves errno as it found it.
void write_stderr(const char* text, size_t length);
// The same for a NUL-terminated text.
void write_stderr(const char* text);

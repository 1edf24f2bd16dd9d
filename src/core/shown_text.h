// SPDX-License-Identifier: GPL-2.0-or-later
// Text that came from the line, made safe to show on the user's terminal.
//
// The monitor's replies (or line noise) may hold any byte, terminal escape
// sequences included; a message that quotes them must show them, never let the
// terminal obey them. Every byte outside printable ASCII (0x20 to 0x7E) is
// written as \xHH with two lower-case hex digits; printable bytes, the
// backslash included, stay as they are.
#pragma once

#include <string>
#include <string_view>

std::string shown_text(std::string_view text);

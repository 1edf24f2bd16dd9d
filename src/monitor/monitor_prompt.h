// SPDX-License-Identifier: GPL-2.0-or-later
// The monitor's prompts, and waking the monitor up to one.
//
// The monitor ends its output with a prompt that has no line end: "PMON> "
// at its command line, "PMram>" in its RAM variant. line_has_prompt is the
// end-of-line rule the line reader is given for the monitor (a line ends on
// a prompt as on CR or LF), and the test every reader of the monitor's text
// makes. port_wakeup sends "\r\r", drains the answer and sends "\r";
// port_getpmon announces the search, wakes the monitor and reads the first
// line after it (in the normal case the prompt the last CR brought), whatever
// it holds; a monitor that says nothing within the line reader's 50 s ends
// the run with a hint.
#pragma once

#include <string>
#include <string_view>

class LineReader;

constexpr char PMON_PROMPT[] = "PMON> ";  // with its trailing space
constexpr char PMRAM_PROMPT[] = "PMram>";

// True when text contains either prompt (plain, case-sensitive substring
// search). NUL bytes in text are left out first, as the line reader drops
// them, so a prompt with NULs inside or around it is still found. A LineEndRule.
bool line_has_prompt(std::string_view text);

// "\r\r", a drain, "\r"; the drained text.
std::string port_wakeup(LineReader& line);
// Wakes the monitor and reads the first line after it into the reader; the
// text the wake-up drained.
std::string port_getpmon(LineReader& line);

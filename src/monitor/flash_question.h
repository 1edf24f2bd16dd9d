// SPDX-License-Identifier: GPL-2.0-or-later
// The monitor's answer to the flash command: its question, or a refusal.
//
// A monitor that will program the range asks first, "... (y/n) ", without a
// line end; one that will not (a range outside the flash, nothing to
// program, a command it does not know) prints why and its prompt. "y" is
// typed only after the question: typed after a refusal it would land on the
// monitor's command line. The text is read until the question shows, or the
// monitor is back at a prompt on a line of its own after other text, or the
// wait for the question runs out; a refusal is shown by the monitor's last
// line that holds something once a prompt and control bytes are set aside.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

// How long the question may take after the command's echo.
constexpr std::chrono::seconds FLASH_QUESTION_WAIT{5};

enum class FlashAnswer {
    asked,     // the question came: "y" may be typed
    refused,   // the monitor is back at its prompt without asking
    unsettled, // neither yet
};

// The answer so far in drained (CR removed, lines ended by LF).
FlashAnswer flash_answer(std::string_view drained);
// The monitor's last line with something in it once a leftover prompt and
// the bytes outside printable ASCII at its start are set aside; "" for none.
std::string last_monitor_line(std::string_view drained);

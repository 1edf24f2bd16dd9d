// SPDX-License-Identifier: GPL-2.0-or-later
#include "monitor/flash_question.h"

#include "monitor/flash_echo.h"
#include "monitor/monitor_commands.h"
#include "serial/drained_lines.h"
#include "monitor/monitor_prompt.h"

FlashAnswer flash_answer(std::string_view drained) {
    if (drained.find(REPLY_CONFIRM_QUESTION) != std::string_view::npos) return FlashAnswer::asked;
    // A prompt on the last line, after a line of something else: the command is over.
    const std::size_t last_end = drained.rfind(DRAINED_LINE_END);
    if (last_end == std::string_view::npos) return FlashAnswer::unsettled;
    const std::string_view last_line = drained.substr(last_end + 1);
    const std::string_view before = drained.substr(0, last_end);
    const bool prompt = line_has_prompt(last_line);
    return prompt && !last_monitor_line(before).empty() ? FlashAnswer::refused : FlashAnswer::unsettled;
}

std::string last_monitor_line(std::string_view drained) {
    std::string_view last;
    for_each_drained_line(drained, DRAINED_LINE_END, [&](std::string_view line) {
        const std::string_view text = echo_text(line);
        if (!text.empty()) last = text;
        return false;
    });
    return std::string(last);
}

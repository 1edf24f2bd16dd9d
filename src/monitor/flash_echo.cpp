// SPDX-License-Identifier: GPL-2.0-or-later
#include "monitor/flash_echo.h"

#include "core/text.h"
#include "monitor/monitor_prompt.h"
#include "serial/drained_lines.h"

namespace {

// The command word and its separator: a line of the monitor's own that begins
// with the word ("flash: range outside the flash") is no echo.
constexpr std::string_view FLASH_COMMAND_WORD = "flash ";
// Lines kept before the fast entry's offer, where an echo is looked for too, may end in CR.
constexpr std::string_view ECHO_LINE_ENDS = "\n\r";

}  // namespace

std::string_view echo_text(std::string_view line) {
    for (;;) {
        if (line.starts_with(PMON_PROMPT))
            line.remove_prefix(sizeof PMON_PROMPT - 1);
        else if (line.starts_with(PMRAM_PROMPT))
            line.remove_prefix(sizeof PMRAM_PROMPT - 1);
        else if (!line.empty() && !is_printable(line.front()))
            line.remove_prefix(1);
        else
            return line;
    }
}

FlashEcho judge_flash_echo(std::string_view drained, std::string_view command) {
    FlashEcho echo;
    for_each_drained_line(drained, ECHO_LINE_ENDS, [&](std::string_view line) {
        const std::string_view text = echo_text(line);
        if (!text.starts_with(FLASH_COMMAND_WORD)) return false;
        echo.verdict = text == command ? EchoVerdict::matches : EchoVerdict::differs;
        if (echo.verdict == EchoVerdict::differs) echo.line = text;
        return true;
    });
    return echo;
}

bool echoes_command(std::string_view text, std::string_view command) {
    bool found = false;
    for_each_drained_line(text, ECHO_LINE_ENDS,
                          [&](std::string_view line) { return found = echo_text(line) == command; });
    return found;
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "monitor/monitor_prompt.h"

#include <cstdio>

#include "core/fatal.h"
#include "serial/line_reader.h"

namespace {

constexpr char NO_PROMPT_HINT[] =
    "no \"PMON> \" prompt came: check that the handheld is on and at its monitor, the cable, that -s names "
    "its port, and that the monitor runs at 115200 bit/s";

[[noreturn]] void no_prompt_exit(const LineReader& line) {
    attach_exit_hint(NO_PROMPT_HINT);
    line.readline_failed_exit("Error: port_getpmon timed out reading from port");
}

}  // namespace

bool line_has_prompt(std::string_view text) {
    // The line reader drops NULs; a drained text is searched as if it had too.
    std::string without_nuls;
    if (text.find('\0') != std::string_view::npos) {
        without_nuls.reserve(text.size());
        for (const char c : text)
            if (c != '\0') without_nuls += c;
        text = without_nuls;
    }
    return text.find(PMON_PROMPT) != std::string_view::npos || text.find(PMRAM_PROMPT) != std::string_view::npos;
}

std::string port_wakeup(LineReader& line) {
    line.send_text("\r\r", Capture::record);
    std::string drained = line.readflush();
    line.send_text("\r", Capture::record);
    return drained;
}

std::string port_getpmon(LineReader& line) {
    fprintf(stderr, "Looking for PMON prompt...");
    std::string drained = port_wakeup(line);
    if (line.readline() < 0) no_prompt_exit(line);
    fprintf(stderr, "done\n");
    return drained;
}

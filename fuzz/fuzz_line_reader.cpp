// SPDX-License-Identifier: GPL-2.0-or-later
// The line reader's buffer handling: every byte the port can deliver, and
// silences, fed to the line assembly as the line reader feeds it, with the
// monitor's prompt as its end-of-line rule.
//
// Input bytes are fed as they come, except 0xFF, which stands for a read that
// brought nothing (0.5 s of silence); the port clears bit 7 of every byte, so
// 0xFF never arrives from the monitor. Beyond the sanitizers: the buffer stays
// NUL-terminated and never holds more than 1023 characters, no NUL, CR or LF
// is stored, a line that ends on silence holds a prompt, and a line is too
// long only at its 1024th character without a prompt.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "monitor/monitor_prompt.h"
#include "serial/line_assembly.h"

namespace {

constexpr uint8_t SILENCE = 0xFF;

void check(bool holds) {
    if (!holds) std::abort();
}

void check_buffer(const LineAssembly& line) {
    const char* buffer = line.text.data();
    check(line.length >= 0 && line.length < LINE_BUFFER_SIZE);
    check(buffer[line.length] == '\0' && strlen(buffer) == static_cast<size_t>(line.length));
    check(std::memchr(buffer, '\r', static_cast<size_t>(line.length)) == nullptr);
    check(std::memchr(buffer, '\n', static_cast<size_t>(line.length)) == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    LineAssembly line{.ends_line = line_has_prompt};
    const char* buffer = line.text.data();
    const auto next_line = [&] { line_clear(line); };
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == SILENCE) {
            if (line_complete_on_silence(line)) {
                check(line_has_prompt(buffer));
                next_line();
            }
            continue;
        }
        const int before = line.length;
        switch (line_take_byte(line, static_cast<char>(data[i]))) {
            case LineStep::stored:
                check(line.length == before + 1);
                break;
            case LineStep::dropped:
                check(line.length == before);
                break;
            case LineStep::complete:
                check(before > 0);
                check_buffer(line);
                next_line();
                break;
            case LineStep::too_long:
                check(before == LINE_BUFFER_SIZE - 1 && !line_has_prompt(buffer));
                next_line();  // the run would end here
                break;
        }
        check_buffer(line);
    }
    return 0;
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "serial/line_assembly.h"

#include <cstddef>

namespace {

constexpr char CR = 0x0D;
constexpr char LF = 0x0A;
constexpr char NUL = 0x00;

bool ends_by_rule(const LineAssembly& line) {
    return line.ends_line != nullptr &&
           line.ends_line(std::string_view(line.text.data(), static_cast<size_t>(line.length)));
}

}  // namespace

void line_clear(LineAssembly& line) {
    line.text.fill(NUL);
    line.length = 0;
}

LineStep line_take_byte(LineAssembly& line, char byte) {
    const bool line_end = byte == CR || byte == LF;
    if (line.length == 0 && (line_end || byte == NUL)) return LineStep::dropped;
    // A NUL after the end text completes the line as any byte does: a monitor
    // idling NULs after its prompt must not hold the line open.
    if (line_end || ends_by_rule(line)) return LineStep::complete;
    if (byte == NUL) return LineStep::dropped;
    if (line.length == LINE_BUFFER_SIZE - 1) return LineStep::too_long;
    line.text[static_cast<size_t>(line.length++)] = byte;
    return LineStep::stored;
}

bool line_complete_on_silence(const LineAssembly& line) { return line.length > 0 && ends_by_rule(line); }

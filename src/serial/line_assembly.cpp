// SPDX-License-Identifier: GPL-2.0-or-later
#include "serial/line_assembly.h"

#include <cstddef>

#include "serial/port.h"

namespace {

constexpr char CR = 0x0D;
constexpr char LF = 0x0A;
constexpr char NUL = 0x00;

}  // namespace

LineStep line_take_byte(LineAssembly& line, char byte) {
    if (byte == NUL) return LineStep::dropped;
    const bool line_end = byte == CR || byte == LF;
    if (line.length == 0 && line_end) return LineStep::dropped;
    if (line_end || line_has_prompt(line.buffer, static_cast<size_t>(line.length))) return LineStep::complete;
    if (line.length == LINE_BUFFER_SIZE - 1) return LineStep::too_long;
    line.buffer[line.length++] = byte;
    return LineStep::stored;
}

bool line_complete_on_silence(const LineAssembly& line) {
    return line.length > 0 && line_has_prompt(line.buffer, static_cast<size_t>(line.length));
}

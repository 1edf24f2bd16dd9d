// SPDX-License-Identifier: GPL-2.0-or-later
// The lines of text drained from the port, for the readers that look for one.
//
// The line reader's drain drops every CR, so drained lines end at LF; a reader of
// text kept otherwise, which may end its lines in CR, names that too. The
// text after the last line end is a line too.
#pragma once

#include <cstddef>
#include <string_view>

constexpr std::string_view DRAINED_LINE_END = "\n";

// Calls visit with each line of text, ended by any of line_ends, in turn
// until it returns true.
template <typename Visit>
void for_each_drained_line(std::string_view text, std::string_view line_ends, Visit visit) {
    while (!text.empty()) {
        const std::size_t end = text.find_first_of(line_ends);
        if (visit(text.substr(0, end))) return;
        if (end == std::string_view::npos) return;
        text.remove_prefix(end + 1);
    }
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/shown_text.h"

#include "core/text.h"

namespace {

constexpr char HEX_DIGITS[] = "0123456789abcdef";

}  // namespace

std::string shown_text(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (is_printable(byte)) {
            shown += c;
            continue;
        }
        shown += "\\x";
        shown += HEX_DIGITS[byte >> 4];
        shown += HEX_DIGITS[byte & 0x0F];
    }
    return shown;
}

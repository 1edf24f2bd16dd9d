// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers for matching program output in death tests.
#pragma once

#include <cstring>
#include <string>

// A regular expression that matches text literally (death-test messages).
inline std::string literally(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::strchr(".[]{}()*+?^$|\\", c) != nullptr) out += '\\';
        out += c;
    }
    return out;
}

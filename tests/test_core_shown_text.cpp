// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/shown_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ShownText, ShowsEveryByteOutsidePrintableAsciiAsHex) {
    const struct {
        std::string text;
        std::string shown;
    } cases[] = {
        {"Programming block 200000", "Programming block 200000"},
        {" ~\\'", " ~\\'"},                          // printable edges and the backslash stay
        {"\x1b]0;owned\x07", "\\x1b]0;owned\\x07"},  // a title change is shown, not obeyed
        {"\x1b[2J", "\\x1b[2J"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"\r\n\t\x7f", "\\x0d\\x0a\\x09\\x7f"},
        {"\x80\xff\x9b", "\\x80\\xff\\x9b"},  // 0x9b is a one-byte CSI on some terminals
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(shown_text(c.text), c.shown) << c.shown;
}

}  // namespace

// SPDX-License-Identifier: GPL-2.0-or-later
// The monitor's answer to the flash command: its question, a refusal, or not yet.
#include "monitor/flash_question.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FlashAnswer, IsTheQuestionOrAPromptAfterTheMonitorsOwnText) {
    const std::string echo = "flash 80090000 60000 200000\n";
    const struct {
        const char* name;
        std::string drained;
        FlashAnswer answer;
        const char* shown;  // the refusal's line
    } cases[] = {
        {"the question", echo + "Program flash 0x200000..0x25ffff from 80090000? (y/n) ", FlashAnswer::asked,
         "Program flash 0x200000..0x25ffff from 80090000? (y/n) "},
        {"the question without an echo", "Program flash? (y/n) ", FlashAnswer::asked, "Program flash? (y/n) "},
        {"a refusal after the echo", echo + "flash: range outside the flash\nPMON> ", FlashAnswer::refused,
         "flash: range outside the flash"},
        {"a refusal without an echo", "flash: nothing to program\nPMram>", FlashAnswer::refused,
         "flash: nothing to program"},
        {"a command the monitor does not know", "flash: Command not found\n\x07PMON> ", FlashAnswer::refused,
         "flash: Command not found"},
        {"only the echo so far", echo, FlashAnswer::unsettled, "flash 80090000 60000 200000"},
        {"the echo and part of the question", echo + "Program flash 0x2", FlashAnswer::unsettled,
         "Program flash 0x2"},
        {"nothing", "", FlashAnswer::unsettled, ""},
        {"a leftover prompt is no refusal", "\nPMON> ", FlashAnswer::unsettled, ""},
        {"a prompt, then more text", echo + "PMON> \nstill", FlashAnswer::unsettled, "still"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(flash_answer(c.drained), c.answer) << c.name;
        EXPECT_EQ(last_monitor_line(c.drained), c.shown) << c.name;
    }
}

}  // namespace

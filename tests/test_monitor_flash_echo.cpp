// SPDX-License-Identifier: GPL-2.0-or-later
// The monitor's echo of the flash command, judged against the command sent.
#include <gtest/gtest.h>

#include <string>

#include "monitor/flash_echo.h"

namespace {

const std::string COMMAND = "flash 80090000 60000 200000";

struct EchoCase {
    const char* name;
    std::string drained;  // as a drain keeps it: CR removed, LF kept
    EchoVerdict verdict;
    std::string line = "";  // the echo shown, when it differs
};

TEST(FlashEcho, TheFirstLineThatBeginsWithFlashIsTheEchoAndMustBeTheCommand) {
    const std::string question = "Program flash 0x200000..0x25ffff from 80090000? (y/n) ";
    const EchoCase cases[] = {
        {"the echo as sent", COMMAND + "\n" + question, EchoVerdict::matches},
        {"the echo without its line end yet", COMMAND, EchoVerdict::matches},
        {"the echo after other text", "\nPMON> \n" + COMMAND + "\n", EchoVerdict::matches},
        {"only the first flash line is the echo", COMMAND + "\nflash: nothing to program\n", EchoVerdict::matches},
        // Set aside before the echo: a leftover prompt, control bytes, NULs, bytes with bit 7.
        {"after a leftover prompt", "PMON> " + COMMAND + "\n", EchoVerdict::matches},
        {"after a leftover PMram prompt", "PMram>" + COMMAND + "\n", EchoVerdict::matches},
        {"after non-printable bytes", std::string("\0\x07\x1b\x80", 4) + COMMAND + "\n", EchoVerdict::matches},
        {"after both, repeatedly", std::string("\x01PMON> \0PMON> ", 14) + COMMAND + "\n", EchoVerdict::matches},
        {"no echo at all", question, EchoVerdict::absent},
        {"nothing drained", "", EchoVerdict::absent},
        {"the monitor's question is no echo", "Program flash 0x0 from 80090001\n", EchoVerdict::absent},
        {"a damaged flash word is no echo", "fl`sh 80090000 60000 200000\n", EchoVerdict::absent},
        {"a printable byte before it is no echo", "xflash 80090000 60000 200000\n", EchoVerdict::absent},
        {"a refusal that begins with the word is no echo", "flash: range outside the flash\n", EchoVerdict::absent},
        {"a digit of the address", "flash 80090400 60000 200000\n" + question, EchoVerdict::differs,
         "flash 80090400 60000 200000"},
        {"a digit of the size", "flash 80090000 61000 200000\n", EchoVerdict::differs, "flash 80090000 61000 200000"},
        {"a digit of the offset", "PMON> flash 80090000 60000 280000\n", EchoVerdict::differs,
         "flash 80090000 60000 280000"},
        {"a lost digit", "flash 8009000 60000 200000\n", EchoVerdict::differs, "flash 8009000 60000 200000"},
        {"an extra character", "flash 80090000 60000 2000000\n", EchoVerdict::differs, "flash 80090000 60000 2000000"},
        {"a cut-short echo", "flash 80090000 600", EchoVerdict::differs, "flash 80090000 600"},
        {"a line end in the middle", "flash 8009\nusage: flash RAM SIZE OFFSET\n", EchoVerdict::differs, "flash 8009"},
        {"an erased character still shows", "flash 80090000 6\b \b60000 200000\n", EchoVerdict::differs,
         "flash 80090000 6\b \b60000 200000"},
        {"a stray NUL inside",
         std::string("flash 80090000 60000 2\0"
                     "00000\n",
                     29),
         EchoVerdict::differs,
         std::string("flash 80090000 60000 2\0"
                     "00000",
                     28)},
        {"a trailing control byte", COMMAND + "\x07\n", EchoVerdict::differs, COMMAND + "\x07"},
    };
    for (const EchoCase& c : cases) {
        const FlashEcho echo = judge_flash_echo(c.drained, COMMAND);
        EXPECT_EQ(echo.verdict, c.verdict) << c.name;
        EXPECT_EQ(echo.line, c.line) << c.name;
    }
}

TEST(CommandEcho, IsALineThatIsTheWholeCommandOnceAPromptAndControlBytesAreSetAside) {
    const struct {
        const char* name;
        std::string text;
        const char* command;
        bool echoed;
    } cases[] = {
        {"load, drained", "load\nLoading S-records, each ended by ETX\n", "load", true},
        {"load after a prompt", "PMON> load\n", "load", true},
        {"the start command, CR LF and all", "g -e a0080274\r\nreceiver ready\r\n", "g -e a0080274", true},
        {"the start command after other lines", "\r\n\x01PMON> g -e a0080274\r\n", "g -e a0080274", true},
        {"nothing", "", "load", false},
        {"only the monitor's own text", "Loading S-records, each ended by ETX\n", "load", false},
        {"a word within a line", "PMON> unload\n", "load", false},
        {"a line that begins with the word", "loading...\n", "load", false},
        {"the word and more", "load aborted\n", "load", false},
        {"another start command", "g -e a00802a0\r\n", "g -e a0080274", false},
    };
    for (const auto& c : cases) EXPECT_EQ(echoes_command(c.text, c.command), c.echoed) << c.name;
}

}  // namespace

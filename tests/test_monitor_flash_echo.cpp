// The monitor's echo of the flash command, judged against the command sent.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "monitor/flash_echo.h"

namespace {

const std::string COMMAND = "flash 80090000 60000 200000";

struct EchoCase {
    const char* name;
    std::string drained;  // as a drain keeps it: CR removed, LF kept
    std::optional<std::string> mismatch;
};

TEST(FlashEcho, AFlashLineThatDiffersFromTheCommandIsAMismatch) {
    const std::string question = "Program flash 0x200000..0x25ffff from 80090000? (y/n) ";
    const EchoCase cases[] = {
        {"the echo as sent", COMMAND + "\n" + question, std::nullopt},
        {"the echo without its line end yet", COMMAND, std::nullopt},
        {"no echo at all", question, std::nullopt},
        {"nothing drained", "", std::nullopt},
        {"a digit of the address", "flash 80090400 60000 200000\n" + question, "flash 80090400 60000 200000"},
        {"a digit of the size", "flash 80090000 61000 200000\n", "flash 80090000 61000 200000"},
        {"a digit of the offset", "flash 80090000 60000 280000\n", "flash 80090000 60000 280000"},
        {"a lost digit", "flash 8009000 60000 200000\n", "flash 8009000 60000 200000"},
        {"an extra character", "flash 80090000 60000 2000000\n", "flash 80090000 60000 2000000"},
        {"a cut-short echo", "flash 80090000 600", "flash 80090000 600"},
        {"a line end in the middle", "flash 8009\nusage: flash RAM SIZE OFFSET\n", "flash 8009"},
        {"an erased character still shows", "flash 80090000 6\b \b60000 200000\n",
         "flash 80090000 6\b \b60000 200000"},
        {"a stray NUL", std::string("flash 80090000 60000 2\0" "00000\n", 29), std::string("flash 80090000 60000 2\0" "00000", 28)},
        {"the echo after other text", "\nPMON> \n" + COMMAND + "\n", std::nullopt},
        {"only the first flash line is the echo", COMMAND + "\nflash: nothing to program\n", std::nullopt},
        {"a flash word not at a line start is not an echo", "Program flash 0x0 from 80090001\n", std::nullopt},
        {"a damaged flash word is no echo", "fl`sh 80090000 60000 200000\n", std::nullopt},
    };
    for (const EchoCase& c : cases) EXPECT_EQ(flash_echo_mismatch(c.drained, COMMAND), c.mismatch) << c.name;
}

}  // namespace

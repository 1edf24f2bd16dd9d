// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <thread>

#include "monitor/monitor_prompt.h"
#include "serial/line_reader.h"
#include "support/port_fixture.h"

namespace {

// The test plays the monitor on the master, from a thread.
class MonitorPromptTest : public CapturingPortTest {
protected:
    void TearDown() override {
        if (monitor.joinable()) monitor.join();
        CapturingPortTest::TearDown();
    }
    std::thread monitor;
};

// The monitor answers the wake-up's two CRs with two prompts, which the drain
// takes and hands back; the reply to the third CR is accepted whatever it holds.
TEST_F(MonitorPromptTest, GetpmonTakesTheFirstLineAfterTheWakeup) {
    std::string first_crs;
    std::string last_cr;
    monitor = std::thread([&] {
        first_crs = peer_read(2, 5000);
        peer_write("\r\nPMON> \r\nPMON> ");
        last_cr = peer_read(1, 5000);
        peer_write("\r\nnot a prompt\r\n");
    });
    LineReader reader(slave_fd, line_has_prompt);
    testing::internal::CaptureStderr();
    const std::string drained = port_getpmon(reader);
    const std::string err = testing::internal::GetCapturedStderr();
    monitor.join();
    EXPECT_EQ(drained, "\nPMON> \nPMON> ");
    EXPECT_EQ(first_crs, "\r\r");
    EXPECT_EQ(last_cr, "\r");
    EXPECT_STREQ(reader.line(), "not a prompt");
    EXPECT_EQ(err, "Looking for PMON prompt...done\n");
    EXPECT_EQ(logged(), "\nPMON> \nPMON> \nnot a prompt\n");
}

TEST(LinePrompt, FindsEitherPromptAnywhere) {
    const struct {
        const char* text;
        bool has_prompt;
    } cases[] = {
        {"PMON> ", true},  {"xx PMON> yy", true}, {"PMram>", true}, {"PMON>", false},
        {"pmon> ", false}, {"PMRAM>", false},     {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(line_has_prompt(c.text), c.has_prompt) << c.text;
    EXPECT_TRUE(line_has_prompt(std::string_view("\0PMON> ", 7)));  // a stray NUL does not hide the prompt
    // NULs inside a drained prompt are left out, as the line reader drops them.
    EXPECT_TRUE(line_has_prompt(std::string_view("PMON\0> ", 7)));
    EXPECT_TRUE(line_has_prompt(std::string_view("\0P\0Mram\0>\0", 10)));
    EXPECT_FALSE(line_has_prompt(std::string_view("PMON>\0", 6)));
}

}  // namespace

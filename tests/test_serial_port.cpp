// SPDX-License-Identifier: GPL-2.0-or-later
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "monitor/monitor_prompt.h"
#include "serial/capture.h"
#include "serial/line_reader.h"
#include "serial/port.h"
#include "support/port_fixture.h"
#include "support/pty_test.h"
#include "support/run_binary.h"

namespace {

// The test plays the monitor on the master, from a thread where timing matters.
// The reader ends lines on the monitor's prompt, as the dialogue's does.
class PortTest : public CapturingPortTest {
protected:
    LineReader reader() const { return LineReader(slave_fd, line_has_prompt); }

    void TearDown() override {
        if (monitor.joinable()) monitor.join();
        CapturingPortTest::TearDown();
    }

    struct Step {
        int delay_ms;
        std::string text;
    };
    // Writes each text after its delay, from a thread, while the code under test reads.
    void play(std::vector<Step> steps) {
        monitor = std::thread([this, steps = std::move(steps)] {
            for (const Step& step : steps) {
                std::this_thread::sleep_for(std::chrono::milliseconds(step.delay_ms));
                peer_write(step.text);
            }
        });
    }

    std::thread monitor;
};

TEST_F(PortTest, SetupChangesOnlyTheNamedFlags) {
    termios before{};
    ASSERT_EQ(tcgetattr(slave_fd, &before), 0);
    before.c_iflag |= ICRNL | IXON;
    before.c_oflag |= OPOST | ONLCR;
    before.c_lflag |= ECHO | ICANON | IEXTEN;
    before.c_cflag |= HUPCL | PARENB | CSTOPB;
    ASSERT_EQ(tcsetattr(slave_fd, TCSANOW, &before), 0);

    port_setup(slave_fd);
    termios after{};
    ASSERT_EQ(tcgetattr(slave_fd, &after), 0);
    EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B115200));
    EXPECT_EQ(after.c_cflag & (CSIZE | CSTOPB | PARENB | CREAD | CLOCAL | CRTSCTS),
              static_cast<tcflag_t>(CS8 | CREAD | CLOCAL | CRTSCTS));
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0u);
    EXPECT_EQ(after.c_iflag & (IXON | IXOFF | IXANY | INPCK | ISTRIP), static_cast<tcflag_t>(INPCK | ISTRIP));
    EXPECT_EQ(after.c_oflag & OPOST, 0u);
    EXPECT_EQ(after.c_cc[VMIN], 0);
    EXPECT_EQ(after.c_cc[VTIME], 5);
    // Flags it does not name keep what they were.
    EXPECT_TRUE(after.c_iflag & ICRNL);
    EXPECT_TRUE(after.c_oflag & ONLCR);
    EXPECT_TRUE(after.c_lflag & IEXTEN);
    EXPECT_TRUE(after.c_cflag & HUPCL);
}

// A serial driver starts with ICRNL on: a stream's 0x0D answer byte must
// arrive as 0x0D while the stream runs, and the run's settings come back after.
TEST_F(PortTest, TheStreamReadsRawAndPutsTheRunsSettingsBack) {
    termios run{};
    ASSERT_EQ(tcgetattr(slave_fd, &run), 0);
    run.c_iflag |= ICRNL | ISTRIP | IXON;
    ASSERT_EQ(tcsetattr(slave_fd, TCSANOW, &run), 0);
    ASSERT_EQ(tcgetattr(slave_fd, &run), 0);

    port_stream_raw(slave_fd);
    termios raw{};
    ASSERT_EQ(tcgetattr(slave_fd, &raw), 0);
    EXPECT_EQ(raw.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | BRKINT | IXON | IXOFF | IXANY), 0u);
    EXPECT_EQ(cfgetispeed(&raw), cfgetispeed(&run));
    const std::string answer = "\x15\x0d\x72\x86";  // NAK 13, and a byte with bit 7
    peer_write(answer);
    std::string read_back;
    for (char byte; read_back.size() < answer.size() && read(slave_fd, &byte, 1) == 1;) read_back += byte;
    EXPECT_EQ(read_back, answer);

    port_stream_done(slave_fd);
    termios after{};
    ASSERT_EQ(tcgetattr(slave_fd, &after), 0);
    EXPECT_EQ(after.c_iflag, run.c_iflag);
    peer_write("\r");
    char byte = 0;
    ASSERT_EQ(read(slave_fd, &byte, 1), 1);
    EXPECT_EQ(byte, '\n') << "the run's own ICRNL again";
}

TEST(PortSetup, DescriptorThatIsNotATerminalEnds) {
    const int not_a_terminal = open("/dev/null", O_RDWR);
    ASSERT_GE(not_a_terminal, 0);
    EXPECT_EXIT(port_setup(not_a_terminal), ::testing::ExitedWithCode(1), "Error:  Cannot get serial options");
    close(not_a_terminal);
}

struct LineCase {
    const char* name;
    std::vector<std::pair<int, std::string>> script;  // delay in ms, then text
    std::vector<std::string> lines;                   // what successive reads return
};

const LineCase line_cases[] = {
    {"prompt_after_blank_lines_then_silence", {{0, "\r\n\r\nPMON> "}}, {"PMON> "}},
    {"ram_prompt_then_silence", {{0, "PMram>"}}, {"PMram>"}},
    {"byte_right_after_prompt_is_dropped", {{0, "PMON> Xnext\r"}}, {"PMON> ", "next"}},
    {"prompt_keeps_what_preceded_it", {{0, "Flash done PMON> "}}, {"Flash done PMON> "}},
    {"crlf_lines_one_per_call", {{0, "hello\r\nworld\r\n"}}, {"hello", "world"}},
    {"lf_only_lines", {{0, "one\ntwo\n"}}, {"one", "two"}},
    {"pause_inside_a_line_adds_nothing", {{0, "Program"}, {1600, "ming block 3\r\n"}}, {"Programming block 3"}},
    {"prompt_in_two_parts", {{0, "PM"}, {700, "ON> "}}, {"PMON> "}},
    {"longest_line_1023_characters", {{0, std::string(1023, 'a') + "\r"}}, {std::string(1023, 'a')}},
    // NUL bytes are dropped: kept, they would end the text before "Error" or a prompt.
    {"nul_cannot_hide_an_error", {{0, std::string("\0Verify\0 Error\r\n", 16)}}, {"Verify Error"}},
    {"nul_cannot_hide_a_prompt", {{0, std::string("PM\0ON> ", 7)}}, {"PMON> "}},
    // A NUL after a prompt ends its line as any byte does; NULs before the next line are skipped.
    {"nul_after_a_prompt_ends_its_line", {{0, std::string("PMON> \0\0\0next\r", 14)}}, {"PMON> ", "next"}},
    {"nuls_around_a_prompt_then_silence", {{0, std::string("\0\0PMON> \0", 9)}}, {"PMON> "}},
    {"nul_does_not_count_towards_the_length",
     {{0, std::string(1023, 'a') + std::string(5, '\0') + "\r"}},
     {std::string(1023, 'a')}},
};

class PortLineTest : public PortTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(PortLineTest, ReturnsEachLineAndLogsIt) {
    std::vector<Step> steps;
    for (const auto& [delay, text] : GetParam().script) steps.push_back({delay, text});
    play(steps);
    std::string expected_log;
    LineReader line_reader = reader();
    for (const std::string& line : GetParam().lines) {
        ASSERT_EQ(line_reader.readline(), 0);
        EXPECT_EQ(std::string(line_reader.line()), line);
        EXPECT_EQ(line_reader.text(), line);
        expected_log += line + "\n";
    }
    EXPECT_EQ(logged(), expected_log);
}

INSTANTIATE_TEST_SUITE_P(Monitor, PortLineTest, ::testing::ValuesIn(line_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// Nothing is read ahead: the XMODEM sender reads the same descriptor next.
TEST_F(PortTest, LineLeavesTheFollowingBytesInThePort) {
    peer_write("go\r\n\x15");
    LineReader line_reader = reader();
    ASSERT_EQ(line_reader.readline(), 0);
    EXPECT_STREQ(line_reader.line(), "go");
    char rest[8] = {};
    EXPECT_EQ(read(slave_fd, rest, sizeof rest), 2);
    EXPECT_STREQ(rest, "\n\x15");
}

TEST_F(PortTest, CharacterNumber1024EndsTheRun) {
    peer_write(std::string(1024, 'a'));
    LineReader line_reader = reader();
    EXPECT_EXIT(line_reader.readline(), ::testing::ExitedWithCode(1), "Error:  port_readline line too long");
}

TEST_F(PortTest, LineFromAVanishedDeviceFails) {
    peer_write("half a li");
    peer_hang_up();
    LineReader line_reader = reader();
    EXPECT_EQ(line_reader.readline(), -1);
    EXPECT_EQ(logged(), "");
}

struct DrainCase {
    const char* name;
    std::string pending;
    std::string kept;  // what the drain hands back
    std::string logged;
};

const DrainCase drain_cases[] = {
    {"nothing_pending", "", "", ""},
    {"two_prompts_cr_removed_lf_kept", "\r\nPMON> \r\nPMON> ", "\nPMON> \nPMON> ", "\nPMON> \nPMON> \n"},
    {"only_line_ends", "\r\n\r\n", "\n\n", "\n\n\n"},
    {"more_than_a_buffer_keeps_the_first_1024", std::string(1500, 'x'), std::string(1024, 'x'),
     std::string(1024, 'x') + "\n"},
    {"log_stops_at_a_nul_the_text_does_not", std::string("ab\0cd\r\n", 7), std::string("ab\0cd\n", 6), "ab\n"},
};

class PortDrainTest : public PortTest, public ::testing::WithParamInterface<DrainCase> {};

TEST_P(PortDrainTest, ReadsEverythingKeepsTheTextAndLogsIt) {
    peer_write(GetParam().pending);
    EXPECT_EQ(reader().readflush(), GetParam().kept);
    EXPECT_EQ(logged(), GetParam().logged);
    char left = 0;
    EXPECT_EQ(read(slave_fd, &left, 1), 0);  // drained to the end
}

INSTANTIATE_TEST_SUITE_P(Monitor, PortDrainTest, ::testing::ValuesIn(drain_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// A hung-up terminal reads as empty at once and stays "ready": the drain must not spin.
TEST_F(PortTest, DrainOfAVanishedDeviceEnds) {
    peer_hang_up();
    EXPECT_EXIT(reader().readflush(), ::testing::ExitedWithCode(1), "Error:  port_readflush failed to read byte");
}

struct SendCase {
    const char* name;
    std::string payload;
    Capture capture;
    std::string logged;
};

const SendCase send_cases[] = {
    {"command_logged_without_cr", "load\r", Capture::record, "load\n"},
    {"lone_cr_leaves_no_record", "\r", Capture::record, ""},
    {"wakeup_crs_leave_no_record", "\r\r", Capture::record, ""},
    {"uncaptured_text_not_logged", "S00600004844521B\r\x03", Capture::skip, ""},
};

class PortSendTest : public PortTest, public ::testing::WithParamInterface<SendCase> {};

TEST_P(PortSendTest, SendsTheBytesAndLogsOnlyWhenAsked) {
    const SendCase& c = GetParam();
    port_send(slave_fd, c.payload.data(), static_cast<int>(c.payload.size()), c.capture);
    EXPECT_EQ(peer_read(c.payload.size() + 1, 300), c.payload);
    EXPECT_EQ(logged(), c.logged);
}

// The reader's send is the same, its capture taken when the reader was made.
TEST_P(PortSendTest, ReaderSendsTheSameAndLogsOnlyWhenAsked) {
    const SendCase& c = GetParam();
    reader().send(c.payload.data(), static_cast<int>(c.payload.size()), c.capture);
    EXPECT_EQ(peer_read(c.payload.size() + 1, 300), c.payload);
    EXPECT_EQ(logged(), c.logged);
}

INSTANTIATE_TEST_SUITE_P(Monitor, PortSendTest, ::testing::ValuesIn(send_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortTest, SendOnAVanishedDeviceEnds) {
    peer_hang_up();
    EXPECT_EXIT(port_send(slave_fd, "load\r", 5, Capture::record), ::testing::ExitedWithCode(1),
                "Error:  port_send unable to write to serial port");
}

TEST(PortOpen, MissingDeviceGivesMinusOne) { EXPECT_EQ(port_open("/dev/kelvane-no-such-port"), -1); }

// The end-of-line rule is the caller's: without one, only CR and LF end a line.
TEST_F(PortTest, LineEndsOnlyByTheCallersRule) {
    peer_write(std::string("PMON> go\r\nabc END") + "x");
    LineReader plain(slave_fd, nullptr);
    ASSERT_EQ(plain.readline(), 0);
    EXPECT_STREQ(plain.line(), "PMON> go");
    LineReader ends_at_end(slave_fd, [](std::string_view text) { return text.ends_with(" END"); });
    ASSERT_EQ(ends_at_end.readline(), 0);
    EXPECT_STREQ(ends_at_end.line(), "abc END");
    EXPECT_TRUE(ends_at_end.line_has_end_text());
}

}  // namespace

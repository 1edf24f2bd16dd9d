// SPDX-License-Identifier: GPL-2.0-or-later
// The ETX/ACK upload of the receiver against a scripted monitor on a pty.
//
// The uploader never flushes its input, so short answers are queued before it
// starts; the whole upload is answered line by line. The line keeps bit 7 (no ISTRIP) so that the uploader's
// own masking is what is tested.
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "support/pty_test.h"
#include "support/text_match.h"
#include "transfer/control_bytes.h"
#include "monitor/monitor_prompt.h"
#include "transfer/loader_upload.h"

namespace {

class LoaderUploadTest : public PtyTest {
protected:
    void SetUp() override {
        // As the port runs: a read returns one byte, or none after 0.5 s.
        termios line{};
        ASSERT_EQ(tcgetattr(slave_fd, &line), 0);
        line.c_cc[VMIN] = 0;
        line.c_cc[VTIME] = 5;
        ASSERT_EQ(tcsetattr(slave_fd, TCSANOW, &line), 0);
    }

    // Every line of the table followed by ETX: what the monitor must receive.
    static std::string all_lines() {
        std::string expected;
        for (int i = 0; i < loader_srec_count; ++i) expected += std::string(loader_srec[i]) + char(ETX);
        return expected;
    }
};

TEST_F(LoaderUploadTest, SendsEveryLineWithEtxAndIgnoresEchoBeforeTheAck) {
    // The monitor answers each line after its ETX: the line's echo, some text,
    // then ACK with bit 7 set.
    std::atomic<bool> done{false};
    std::string wire;
    std::thread monitor([&] {
        std::string line;
        while (!done) {
            for (char c : peer_read(1, 20)) {
                wire += c;
                if (c != char(ETX)) {
                    line += c;
                    continue;
                }
                peer_write(line + "\r\nok " + char(0x86));
                line.clear();
            }
        }
    });
    ex_send(slave_fd, line_has_prompt);
    done = true;
    monitor.join();

    ASSERT_EQ(loader_srec_count, 196);
    EXPECT_TRUE(wire == all_lines()) << "the bytes on the wire differ";
    const std::string tail = std::string("S705A008000052") + char(ETX);
    EXPECT_EQ(wire.substr(wire.size() - tail.size()), tail);
}

struct FailureCase {
    const char* name;
    std::string answers;  // queued before the upload; silence follows
    std::string message;
    bool nak;  // the monitor refused a whole line: it holds no part of one
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class LoaderUploadFailures : public LoaderUploadTest, public ::testing::WithParamInterface<FailureCase> {};

std::string loader_end_record() { return std::string(loader_srec[loader_srec_count - 1]) + char(ETX); }

// A silent monitor never shows its prompt: the load's end (ETX unless a NAK
// just closed the line, then the loader's end record with its ETX) is tried
// three times; nothing else is sent after the failure, and no carriage return.
TEST_P(LoaderUploadFailures, EndsTheRunAndTriesToEndTheLoad) {
    peer_write(GetParam().answers);
    EXPECT_EXIT(ex_send(slave_fd, line_has_prompt), ::testing::ExitedWithCode(1), literally(GetParam().message));
    const std::string wire = peer_drain(100);
    const std::string retry = std::string(1, char(ETX)) + loader_end_record();
    const std::string ending = (GetParam().nak ? loader_end_record() : retry) + retry + retry;
    ASSERT_GE(wire.size(), ending.size());
    EXPECT_EQ(wire.substr(wire.size() - ending.size()), ending);
    // The line that failed went out before the ending, and nothing between.
    const std::string sent = wire.substr(0, wire.size() - ending.size());
    EXPECT_TRUE(all_lines().compare(0, sent.size(), sent) == 0) << "more than the upload's lines before the ending";
    EXPECT_EQ(wire.find('\r'), std::string::npos);
}

// The monitor's "load" as the handheld's: each line gathered up to its ETX,
// which it answers, a carriage return being record text like any other byte;
// only the end record ends the load, with a prompt. The ETX of the third line
// is lost on the way: the upload fails, and the load must be ended all the same.
TEST_F(LoaderUploadTest, AFailedUploadEndsTheMonitorsLoad) {
    std::atomic<bool> load_ended{false};
    std::atomic<bool> done{false};
    std::atomic<bool> cr_seen{false};
    const std::string end_record = loader_srec[loader_srec_count - 1];
    std::thread monitor([&] {
        std::string record;
        int etx_seen = 0;
        while (!done) {
            for (char c : peer_read(1, 20)) {
                if (c == '\r') cr_seen = true;
                if (c != char(ETX)) {
                    record += c;
                    continue;
                }
                if (++etx_seen == 3) continue;  // lost on the line
                if (record == end_record && !load_ended) {
                    peer_write(std::string(1, char(ACK)) + "\r\nLoaded 4064 bytes\r\nPMON> ");
                    load_ended = true;
                } else {
                    peer_write(std::string(1, record.empty() ? char(NAK) : char(ACK)));
                }
                record.clear();
            }
        }
    });
    EXPECT_EXIT(ex_send(slave_fd, line_has_prompt), ::testing::ExitedWithCode(1),
                literally("\nError: ex_send read '0x6' instead of ACK"));
    // The child process has ended; what it sent has reached the monitor.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!load_ended && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    done = true;
    monitor.join();
    EXPECT_TRUE(load_ended);
    EXPECT_FALSE(cr_seen);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, LoaderUploadFailures,
    ::testing::Values(FailureCase{"NakWithBit7Set", std::string("\x06\x06") + char(0x95),
                                  "\nError:  ex_send received NAK.  Aborting", true},
                      FailureCase{"NakAfterChatter", "load error\r\n\x15", "\nError:  ex_send received NAK.  Aborting",
                                  true},
                      // No byte has come yet: 0 stands in for the last byte.
                      FailureCase{"SilenceAtOnce", "", "\nError: ex_send read '0x0' instead of ACK", false},
                      // The last byte received is shown masked to 7 bits.
                      FailureCase{"SilenceAfterChatter", std::string("\x06") + "Z" + char(0xC1),
                                  "\nError: ex_send read '0x41' instead of ACK", false},
                      FailureCase{"SilenceAfterAnAck", "\x06", "\nError: ex_send read '0x6' instead of ACK", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// SPDX-License-Identifier: GPL-2.0-or-later
// Reading the flash back: the verdict on a report, and the exchange with the
// receiver's verify entry, played on the master side of a pty by a thread
// that checks each request the way our loader does.
#include "monitor/flash_verify.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "monitor/monitor_prompt.h"
#include "serial/line_reader.h"
#include "serial/port.h"
#include "support/pty_test.h"
#include "transfer/control_bytes.h"

namespace {

TEST(FlashCrcVerdict, HoldsOnlyWithTheImagesCrcForTheLengthAsked) {
    const ReceiverCrc report{ReceiverCrc::Found::read, 0x1234abcd, 0x40000};
    const struct {
        const char* name;
        ReceiverCrc report;
        FlashCheck check;
    } cases[] = {
        {"the same CRC over the same length", report, FlashCheck::holds},
        {"another CRC", {ReceiverCrc::Found::read, 0x1234abce, 0x40000}, FlashCheck::differs},
        {"another length: an answer to another question",
         {ReceiverCrc::Found::read, 0x1234abcd, 0x3FFFF},
         FlashCheck::missing},
        {"a line that does not read right", {ReceiverCrc::Found::unreadable, 0, 0}, FlashCheck::missing},
        {"no line", {}, FlashCheck::missing},
    };
    for (const auto& c : cases) EXPECT_EQ(judge_flash_crc(c.report, 0x40000, 0x1234abcd), c.check) << c.name;
}

const std::string START = "g -e a0080240";
const std::string OFFER = START + "\r\nVERIFY\r\n";
const std::string S_ACK(1, static_cast<char>(ACK));
const std::string S_NAK(1, static_cast<char>(NAK));

uint32_t le32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
    return value;
}

// A request as the loader reads it.
struct HeardRequest {
    bool well_formed = false;  // the tag and a check that matches
    uint32_t offset = 0;
    uint32_t length = 0;
};

// What the player says after the start command, and after each request.
struct Player {
    std::string after_start;
    std::vector<std::string> answers;
};

class FlashVerifyTest : public PtyTest {
protected:
    void SetUp() override { port_setup(slave_fd); }

    ReceiverCrc exchange(const Player& player, int64_t offset, uint32_t length) {
        std::atomic<bool> done{false};
        std::thread peer([&] {
            std::string line;
            std::string request;
            bool started = false;
            while (!done) {
                pollfd ready{master_fd, POLLIN, 0};
                if (poll(&ready, 1, 5) <= 0) continue;
                char byte = 0;
                if (read(master_fd, &byte, 1) != 1) continue;
                if (!started) {
                    if (byte != '\r') {
                        line += byte;
                    } else if (line == START) {
                        started = true;
                        peer_write(player.after_start);
                    }
                    continue;
                }
                request += byte;
                if (request.size() < FLASH_CRC_REQUEST_SIZE) continue;
                const std::string fields = request.substr(1);
                const uLong check = crc32(0, reinterpret_cast<const Bytef*>(fields.data()), 8);
                requests.push_back({request[0] == 'V' && check == le32(fields, 8), le32(fields, 0), le32(fields, 4)});
                request.clear();
                if (requests.size() <= player.answers.size()) peer_write(player.answers[requests.size() - 1]);
            }
        });
        testing::internal::CaptureStderr();
        LineReader reader(slave_fd, line_has_prompt);
        const ReceiverCrc report = read_flash_crc(reader, offset, length);
        shown = testing::internal::GetCapturedStderr();
        done = true;
        peer.join();
        tcflush(slave_fd, TCIFLUSH);  // the prompt after the report: the next case starts on a quiet line
        return report;
    }

    std::vector<HeardRequest> requests;
    std::string shown;
};

TEST_F(FlashVerifyTest, AsksForTheRangeAndReadsTheReportOrFindsNone) {
    const std::string report = "CRC32 0badcafe 00040000\r\nPMON> ";
    const struct {
        const char* name;
        Player player;
        ReceiverCrc::Found found;
        size_t requests;
        std::string shown;  // device text shown to the user
    } cases[] = {
        {"taken at once", {OFFER, {S_ACK + report}}, ReceiverCrc::Found::read, 1, ""},
        {"a refused request is sent again", {OFFER, {S_NAK, S_ACK + report}}, ReceiverCrc::Found::read, 2, ""},
        {"bytes before the answer are passed over",
         {OFFER, {"\n\x7f" + S_ACK + report}},
         ReceiverCrc::Found::read,
         1,
         ""},
        {"three refusals end it", {OFFER, {S_NAK, S_NAK, S_NAK, S_ACK + report}}, ReceiverCrc::Found::none, 3, ""},
        {"no offer: nothing is asked", {START + "\r\nUnknown command\r\nPMON> ", {}}, ReceiverCrc::Found::none, 0, ""},
        {"an exception instead of the report is shown",
         {OFFER, {S_ACK + "Exception at pc a0080960: bus error\r\nPMON> "}},
         ReceiverCrc::Found::none,
         1,
         "\nWARNING:  'Exception at pc a0080960: bus error'\n"},
        {"a damaged report",
         {OFFER, {S_ACK + "CRC32 0badcaf! 00040000\r\nPMON> "}},
         ReceiverCrc::Found::unreadable,
         1,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        requests.clear();
        const ReceiverCrc got = exchange(c.player, 0x200000, 0x40000);
        EXPECT_EQ(got.found, c.found);
        if (got.found == ReceiverCrc::Found::read) {
            EXPECT_EQ(got.crc, 0x0badcafeu);
            EXPECT_EQ(got.count, 0x40000u);
        }
        ASSERT_EQ(requests.size(), c.requests);
        for (const HeardRequest& r : requests) {
            EXPECT_TRUE(r.well_formed);
            EXPECT_EQ(r.offset, 0x200000u);
            EXPECT_EQ(r.length, 0x40000u);
        }
        EXPECT_EQ(shown, c.shown);
    }
}

// An offset beyond 32 bits cannot be asked for: the receiver is sent one it refuses.
TEST_F(FlashVerifyTest, AnOffsetPastThirtyTwoBitsIsAskedAsOneTheReceiverRefuses) {
    exchange({OFFER, {S_NAK, S_NAK, S_NAK}}, 0x100000000, 0x10);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].offset, 0xFFFFFFFFu);
}

}  // namespace

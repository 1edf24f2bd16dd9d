// SPDX-License-Identifier: GPL-2.0-or-later
// The streamed sender: reading answers out of what the receiver sends, the
// window's bookkeeping, and whole transfers against a scripted receiver on
// the master side of a pty that parses the stream, stores what checks, and
// answers as the second stage does, with one kind of trouble per case.
#include <poll.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/pty_test.h"
#include "support/text_match.h"
#include "testkit/files.h"
#include "transfer/control_bytes.h"
#include "transfer/progress.h"
#include "transfer/sender_guard.h"
#include "monitor/monitor_prompt.h"
#include "transfer/stream_send.h"

namespace {

// A streamed send at the monitor's rate that knows the monitor's prompt, as the dialogue's does.
const StreamOptions FAST_OPTIONS{.rate = 115200, .monitor_prompt = line_has_prompt};

std::vector<StreamAnswer> answers_in(const std::vector<unsigned char>& bytes) {
    StreamAnswerReader reader;
    std::vector<StreamAnswer> found;
    for (unsigned char byte : bytes)
        if (const auto answer = stream_answer_take(reader, byte)) found.push_back(*answer);
    return found;
}

}  // namespace

TEST(StreamAnswers, AreFoundWhateverLiesAround) {
    struct Case {
        const char* what;
        std::vector<unsigned char> bytes;
        std::vector<std::pair<unsigned char, unsigned char>> expected;  // code, block
    };
    const Case cases[] = {
        {"an ACK", {ACK, 5, 0x7A}, {{ACK, 5}}},
        {"a NAK after noise", {'x', 0, NAK, 0x40, 0x3F}, {{NAK, 0x40}}},
        {"two in a row", {ACK, 1, 0x7E, ACK, 2, 0x7D}, {{ACK, 1}, {ACK, 2}}},
        {"a damaged complement: nothing", {ACK, 5, 0x7B}, {}},
        {"a block byte with bit 7: nothing", {ACK, 0x85, 0x7A}, {}},
        {"an answer whose block looks like ACK", {ACK, ACK, 0x79}, {{ACK, ACK}}},
        {"the receiver's give-up", {CAN, CAN}, {{CAN, 0}}},
        {"a lone CAN is noise", {CAN, 'x', ACK, 3, 0x7C}, {{ACK, 3}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<StreamAnswer> found = answers_in(c.bytes);
        ASSERT_EQ(found.size(), c.expected.size());
        for (size_t i = 0; i < found.size(); ++i) {
            EXPECT_EQ(found[i].code, c.expected[i].first);
            EXPECT_EQ(found[i].block, c.expected[i].second);
        }
    }
}

namespace {

// A window of packets with blocks from first, each of data_size bytes, the first `sent` on the line.
StreamWindow window_of(unsigned first, int count, size_t sent) {
    StreamWindow w;
    for (int i = 0; i < count; ++i) {
        StreamPacket p;
        p.block = static_cast<unsigned char>(first + static_cast<unsigned>(i));
        p.data_size = 1024;
        p.wire.resize(1031);
        w.packets.push_back(p);
    }
    w.sent = sent;
    w.sent_bytes = sent * 1031;
    return w;
}

}  // namespace

TEST(StreamWindow, AnswersMoveItAsTheyShould) {
    struct Case {
        const char* what;
        unsigned first_block;
        StreamAnswer answer;
        size_t left;           // packets still held
        size_t sent_after;     // of which on the line
        int64_t acknowledged;  // data bytes
        bool went_back;
    };
    const Case cases[] = {
        {"ACK of the first", 1, {ACK, 1}, 4, 3, 1024, false},
        {"ACK of the third covers the two before", 1, {ACK, 3}, 2, 1, 3072, false},
        {"NAK of the second: the first is stored, the rest goes again", 1, {NAK, 2}, 4, 0, 1024, true},
        {"NAK of the first", 1, {NAK, 1}, 5, 0, 0, true},
        {"ACK of a block not on the line (written but unsent)", 1, {ACK, 5}, 5, 4, 0, false},
        {"a late ACK of what is gone", 1, {ACK, 0x7F}, 5, 4, 0, false},
        {"NAK of the first unsent: all sent are stored", 1, {NAK, 5}, 1, 0, 4096, true},
        {"NAK past the first unsent: unknown", 1, {NAK, 6}, 5, 4, 0, false},
        {"blocks past 127 are named by their low seven bits", 0x7E, {ACK, 0x00}, 2, 1, 3072, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StreamWindow w = window_of(c.first_block, 5, 4);
        const StreamStep step = stream_window_answer(w, c.answer);
        EXPECT_EQ(w.packets.size(), c.left);
        EXPECT_EQ(w.sent, c.sent_after);
        EXPECT_EQ(w.sent_bytes, c.sent_after * 1031);
        EXPECT_EQ(step.acknowledged, c.acknowledged);
        EXPECT_EQ(step.went_back, c.went_back);
    }
}

TEST(StreamWindow, CoversAPacketALatencyAndTheWayBack) {
    for (const unsigned long rate : {115200ul, 230400ul, 921600ul, 3000000ul}) {
        SCOPED_TRACE(rate);
        const size_t bytes = stream_window_bytes(rate);
        const double seconds = static_cast<double>(bytes) * 10 / static_cast<double>(rate);
        const double packet = 1031.0 * 10 / static_cast<double>(rate);
        EXPECT_GE(bytes, 2u * STREAM_LONG_PACKET_SIZE);
        EXPECT_GE(seconds, packet + 0.016 + 3.0 * 10 / static_cast<double>(rate));
    }
    // Seven bits name a packet in an answer: far fewer than 128 are in flight, however short.
    StreamWindow shorts = window_of(1, 100, 64);
    shorts.sent_bytes = 64 * 135;
    EXPECT_FALSE(stream_window_open(shorts, stream_window_bytes(3000000)));
    StreamWindow w = window_of(1, 3, 1);
    EXPECT_TRUE(stream_window_open(w, 0)) << "two packets always";
    w.sent = 2;
    w.sent_bytes = 2 * 1031;
    EXPECT_FALSE(stream_window_open(w, 2 * 1031));
    EXPECT_TRUE(stream_window_open(w, 3 * 1031));
}

namespace {

// What the scripted receiver does wrong, once.
enum class Trouble { none, nak_block_2, lose_answers_of_block_2, silence_after_block_3, sender_stopped_at_block_1 };

// Parses the stream as the second stage does (packets found by their
// header, checked by the running CRC-32) and answers; the trouble happens once.
class ScriptedReceiver {
public:
    static constexpr std::chrono::milliseconds SILENCE{1000};  // its time-out (the second stage's is 5 s)

    ScriptedReceiver(int fd, Trouble trouble) : fd_(fd), trouble_(trouble) {}

    void run(const std::atomic<bool>& stop) {
        send({NAK});
        auto heard = std::chrono::steady_clock::now();
        while (!stop && !finished_) {
            pollfd ready{fd_, POLLIN, 0};
            if (poll(&ready, 1, 20) <= 0) {
                // As the second stage after its time-out: NAK what it waits for.
                if (std::chrono::steady_clock::now() - heard > SILENCE && !finished_) {
                    answer(NAK, expected_);
                    heard = std::chrono::steady_clock::now();
                }
                continue;
            }
            heard = std::chrono::steady_clock::now();
            unsigned char chunk[4096];
            const ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) continue;
            if (std::chrono::steady_clock::now() < deaf_until_) continue;  // lost on the way
            pending_.insert(pending_.end(), chunk, chunk + n);
            take();
        }
    }

    std::vector<unsigned char> stored;
    int packets_seen = 0;
    int ends_seen = 0;
    bool finished_ = false;

private:
    void send(std::vector<unsigned char> bytes) { (void)!write(fd_, bytes.data(), bytes.size()); }
    void answer(unsigned char code, unsigned block) {
        const auto low = static_cast<unsigned char>(block & 0x7F);
        send({code, low, static_cast<unsigned char>(low ^ 0x7F)});
    }

    void take() {
        for (;;) {
            if (pending_.size() >= 2 && pending_[0] == EOT && pending_[1] == STREAM_END_SECOND) {
                ++ends_seen;
                answer(ACK, expected_);
                finished_ = true;
                return;
            }
            if (pending_.empty()) return;
            if (pending_[0] != SOH && pending_[0] != STX) {
                pending_.erase(pending_.begin());
                continue;
            }
            const size_t data = pending_[0] == STX ? 1024 : 128;
            if (pending_.size() < 3 + data + 4) return;
            const unsigned block = pending_[1];
            std::vector<unsigned char> packet(pending_.begin(), pending_.begin() + static_cast<long>(3 + data + 4));
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(3 + data + 4));
            ++packets_seen;
            if (block != (expected_ & 0xFF)) {
                if (static_cast<unsigned char>(expected_ - block) < 128) answer(ACK, expected_ - 1);
                continue;
            }
            uLong crc = crc32(crc_, packet.data() + 3, static_cast<uInt>(data));
            uint32_t check = 0;
            for (int i = 0; i < 4; ++i) check |= static_cast<uint32_t>(packet[3 + data + i]) << (8 * i);
            if (check != crc) {
                answer(NAK, expected_);
                continue;
            }
            if (block == 2 && !troubled_) {
                troubled_ = true;
                if (trouble_ == Trouble::nak_block_2) {
                    answer(NAK, 2);
                    continue;
                }
            }
            crc_ = crc;
            stored.insert(stored.end(), packet.begin() + 3, packet.begin() + static_cast<long>(3 + data));
            ++expected_;
            if (trouble_ == Trouble::lose_answers_of_block_2 && block == 2 && !lost_) {
                lost_ = true;
                continue;
            }
            // The sender was stopped while this answer waited, and is continued now.
            if (trouble_ == Trouble::sender_stopped_at_block_1 && block == 1) kill(getpid(), SIGCONT);
            if (trouble_ == Trouble::silence_after_block_3 && block == 3 && !silent_) {
                // Stored, but unanswered, and whatever comes for longer than the sender waits is lost.
                silent_ = true;
                pending_.clear();
                deaf_until_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
                return;
            }
            answer(ACK, block);
        }
    }

    int fd_;
    Trouble trouble_;
    std::vector<unsigned char> pending_;
    unsigned expected_ = 1;
    uLong crc_ = 0;
    bool troubled_ = false;
    bool lost_ = false;
    bool silent_ = false;
    std::chrono::steady_clock::time_point deaf_until_{};
};

class StreamSendTest : public PtyTest {};

}  // namespace

TEST_F(StreamSendTest, EveryPacketArrivesOnceWhateverTheReceiverDoes) {
    struct Case {
        const char* what;
        Trouble trouble;
    };
    const Case cases[] = {
        {"a clean receiver", Trouble::none},
        {"a NAK of block 2: back to it", Trouble::nak_block_2},
        {"lost answers: a later ACK covers them", Trouble::lose_answers_of_block_2},
        {"a packet unanswered and what follows lost: the receiver's NAK after its time-out",
         Trouble::silence_after_block_3},
    };
    testkit::TempDir dir("stream-send");
    const std::string path = dir.file("image");
    constexpr long long SIZE = 3 * 1024 + 300;  // three kilobyte packets and three short ones
    testkit::write_pattern_file(path, SIZE, 3);
    std::string expected = testkit::read_file(path);
    expected.resize(3 * 1024 + 3 * 128, static_cast<char>(XMODEM_FILLER));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedReceiver receiver(master_fd, c.trouble);
        std::atomic<bool> stop{false};
        std::thread peer([&] { receiver.run(stop); });
        XmodemDigest digest;
        const int64_t size = stream_send(path.c_str(), slave_fd, &digest, FAST_OPTIONS);
        stop = true;
        peer.join();
        peer_drain(50);
        EXPECT_EQ(size, SIZE);
        EXPECT_EQ(std::string(receiver.stored.begin(), receiver.stored.end()), expected);
        EXPECT_EQ(receiver.ends_seen, 1);
        EXPECT_EQ(digest.bytes, static_cast<int64_t>(expected.size()));
        EXPECT_EQ(digest.crc, crc32(0, reinterpret_cast<const Bytef*>(expected.data()), static_cast<uInt>(expected.size())));
    }
}

// A stopped and continued sender drops the answers that waited for it: a
// receiver still there answers afresh after its time-out and the stream goes
// on from its NAK; one that went back to the monitor meanwhile ends the run,
// and nothing is sent again into the monitor.
TEST_F(StreamSendTest, AfterAContinueOnlyAFreshAnswerLetsTheStreamGoOn) {
    testkit::TempDir dir("stream-continue");
    const std::string path = dir.file("image");
    constexpr long long SIZE = 3 * 1024 + 300;
    testkit::write_pattern_file(path, SIZE, 3);
    std::string expected = testkit::read_file(path);
    expected.resize(3 * 1024 + 3 * 128, static_cast<char>(XMODEM_FILLER));
    sender_stop_watch_install();
    {
        SCOPED_TRACE("a receiver still there");
        ScriptedReceiver receiver(master_fd, Trouble::sender_stopped_at_block_1);
        std::atomic<bool> stop{false};
        std::thread peer([&] { receiver.run(stop); });
        XmodemDigest digest;
        EXPECT_EQ(stream_send(path.c_str(), slave_fd, &digest, FAST_OPTIONS), SIZE);
        stop = true;
        peer.join();
        peer_drain(50);
        EXPECT_EQ(std::string(receiver.stored.begin(), receiver.stored.end()), expected);
    }
    {
        SCOPED_TRACE("a receiver back at the monitor");
        const std::string stale = std::string{static_cast<char>(NAK)} + static_cast<char>(NAK) + '\x01' + '\x7e' +
                                  "TIMEOUT\r\nDownload Failed!\r\nPMON> ";
        peer_write(std::string{static_cast<char>(NAK)});  // its start
        EXPECT_EXIT(
            {
                // Continued once the first window is out; then the line holds only what waited.
                std::thread peer([&] {
                    pollfd ready{master_fd, POLLIN, 0};
                    poll(&ready, 1, 5000);
                    kill(getpid(), SIGCONT);
                    peer_write(stale);
                });
                peer.detach();
                XmodemDigest digest;
                stream_send(path.c_str(), slave_fd, &digest, FAST_OPTIONS);
            },
            ::testing::ExitedWithCode(1), literally("\nError:  the receiver was lost while kelvane was stopped.  Aborting."));
        // The first window went out before the stop; nothing after it.
        EXPECT_LE(peer_drain(100).size(), stream_window_bytes(115200) + 1024 + 16);
    }
}

// SPDX-License-Identifier: GPL-2.0-or-later
// The streamed sender: reading answers out of what the receiver sends, the
// window's bookkeeping, and whole transfers against a scripted receiver on
// the master side of a pty that parses the stream, stores what checks, and
// answers as the second stage does, with one kind of trouble per case.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <csignal>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/pty_test.h"
#include "support/text_match.h"
#include "testkit/fd.h"
#include "testkit/files.h"
#include "transfer/control_bytes.h"
#include "transfer/receiver_session.h"
#include "testkit/process.h"
#include "core/kept_texts.h"
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
        {"an ACK", {0x06, 5, 0x7A}, {{0x06, 5}}},
        {"a NAK after noise", {'x', 0, 0x15, 0x40, 0x3F}, {{0x15, 0x40}}},
        {"two in a row", {0x06, 1, 0x7E, 0x06, 2, 0x7D}, {{0x06, 1}, {0x06, 2}}},
        {"a damaged complement: nothing", {0x06, 5, 0x7B}, {}},
        {"an argument with bit 7: nothing", {0x06, 0x85, 0x7A}, {}},
        {"an answer whose block looks like ACK", {0x06, 0x06, 0x79}, {{0x06, 0x06}}},
        {"the receiver leaving, done", {0x04, 'D', 'D'}, {{0x04, 'D'}}},
        // An ACK whose code was damaged into LEAVING's is no LEAVING.
        {"an ACK of block 'D' with its code damaged", {0x04, 'D', 'D' ^ 0x7F}, {}},
        {"LEAVING with an unknown reason", {0x04, 'X', 'X'}, {}},
        {"a leaving answer after a partial one", {0x04, 'F', 0x04, 'F', 'F'}, {{0x04, 'F'}}},
        {"a carriage return as an argument", {0x15, 0x0D, 0x72}, {{0x15, 0x0D}}},
        {"CAN is no answer", {0x18, 0x18}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<StreamAnswer> found = answers_in(c.bytes);
        ASSERT_EQ(found.size(), c.expected.size());
        for (size_t i = 0; i < found.size(); ++i) {
            EXPECT_EQ(found[i].code, c.expected[i].first);
            EXPECT_EQ(found[i].arg, c.expected[i].second);
        }
    }
}

namespace {

// A window of frames with blocks from first, each of data_size bytes, the first `sent` on the line.
StreamWindow window_of(unsigned first, int count, size_t sent) {
    StreamWindow w;
    for (int i = 0; i < count; ++i) {
        StreamFrame f;
        f.block = static_cast<unsigned char>(first + static_cast<unsigned>(i));
        f.data_size = 1024;
        f.wire.resize(1031);
        w.frames.push_back(f);
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
        size_t left;           // frames still held
        size_t sent_after;     // of which on the line
        int64_t acknowledged;  // data bytes
        bool went_back;
    };
    const Case cases[] = {
        {"ACK of the first", 1, {STREAM_ACK, 1}, 4, 3, 1024, false},
        {"ACK of the third covers the two before", 1, {STREAM_ACK, 3}, 2, 1, 3072, false},
        {"NAK of the second: the first is stored, the rest goes again", 1, {STREAM_NAK, 2}, 4, 0, 1024, true},
        {"NAK of the first", 1, {STREAM_NAK, 1}, 5, 0, 0, true},
        {"ACK of a block not on the line (written but unsent)", 1, {STREAM_ACK, 5}, 5, 4, 0, false},
        {"a late ACK of what is gone", 1, {STREAM_ACK, 0x7F}, 5, 4, 0, false},
        {"NAK of the first unsent: all sent are stored", 1, {STREAM_NAK, 5}, 1, 0, 4096, true},
        {"NAK past the first unsent: unknown", 1, {STREAM_NAK, 6}, 5, 4, 0, false},
        {"blocks past 127 are named by their low seven bits", 0x7E, {STREAM_ACK, 0x00}, 2, 1, 3072, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StreamWindow w = window_of(c.first_block, 5, 4);
        const StreamStep step = stream_window_answer(w, c.answer);
        EXPECT_EQ(w.frames.size(), c.left);
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
        const double packet = 1035.0 * 10 / static_cast<double>(rate);
        EXPECT_GE(bytes, 2u * STREAM_LONG_FRAME_MAX);
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

// A plain COBS decoder of the test's own: the content of one frame without its delimiter.
std::vector<unsigned char> cobs_decoded(const std::vector<unsigned char>& wire) {
    std::vector<unsigned char> out;
    size_t i = 0;
    while (i < wire.size()) {
        const unsigned code = wire[i++];
        for (unsigned k = 1; k < code && i < wire.size(); ++k) out.push_back(wire[i++]);
        if (code != 0xFF && i < wire.size()) out.push_back(0);
    }
    return out;
}

std::vector<unsigned char> frame_of(const std::vector<unsigned char>& content) {
    std::vector<unsigned char> wire(stream_frame_room(content.size()));
    wire.resize(stream_frame_encode(content.data(), content.size(), wire.data()));
    return wire;
}

}  // namespace

TEST(StreamFrames, HoldNoZeroButTheLastAndDecodeToTheirContent) {
    struct Case {
        const char* what;
        std::vector<unsigned char> content;
    };
    std::vector<unsigned char> zeros(300, 0);
    std::vector<unsigned char> ones(1029, 1);
    std::vector<unsigned char> run254(254, 7);
    std::vector<unsigned char> mixed(1029);
    for (size_t i = 0; i < mixed.size(); ++i) mixed[i] = static_cast<unsigned char>(i * 7);
    const Case cases[] = {
        {"END of block 0", {0x04, 0x00, 0xFF}},
        {"END of block 255", {0x04, 0xFF, 0x00}},
        {"zeros only", zeros},
        {"a 1 KiB frame without a zero: the longest", ones},
        {"a run of exactly 254", run254},
        {"every byte value", mixed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<unsigned char> wire = frame_of(c.content);
        ASSERT_FALSE(wire.empty());
        EXPECT_EQ(wire.back(), 0);
        EXPECT_EQ(std::count(wire.begin(), wire.end(), 0), 1);
        EXPECT_LE(wire.size(), stream_frame_room(c.content.size()));
        EXPECT_EQ(cobs_decoded(std::vector<unsigned char>(wire.begin(), wire.end() - 1)), c.content);
    }
    EXPECT_EQ(frame_of(ones).size(), static_cast<size_t>(STREAM_LONG_FRAME_MAX));
}

namespace {

// What the fake receiver does wrong.
enum class Trouble {
    none,
    nak_block_2,          // NAKs block 2 once
    lose_answer_block_2,  // stores block 2 without a word: the next ACK covers it
    give_up,              // answers nothing, and once the window is out, LEAVING F
    lose_first_done,      // its first LEAVING D is lost on the way
    nak_first_end,        // the first END arrives damaged: it NAKs the block it waits for
    stopped_after_end,    // the sender is stopped after its first END, whose answer is lost
    stopped_mid_stream,   // the sender is stopped once its first window is out, before any answer
};

using Clock = std::chrono::steady_clock;

// What waits on the line for a sender stopped mid-stream, and what the receiver does once it is continued.
struct AfterStop {
    std::string stale;           // after the answers to the first window
    bool answers_again = false;  // NAKs the block it waits for after each time-out of its own
};

// Shorter than the second stage's 5 s time-out, for speed; still far longer than the line's quiet after a burst.
constexpr std::chrono::milliseconds RECEIVER_TIME_OUT(1000);

// Whether pid is seen stopped (state T in /proc/pid/stat) within five seconds.
bool seen_stopped(pid_t pid) {
    const auto give_up = Clock::now() + std::chrono::seconds(5);
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    while (Clock::now() < give_up) {
        std::ifstream stat(path);
        const std::string text{std::istreambuf_iterator<char>(stat), std::istreambuf_iterator<char>()};
        const size_t name_end = text.rfind(')');  // the command's name may hold anything
        if (name_end != std::string::npos && name_end + 2 < text.size() && text[name_end + 2] == 'T') return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// The second stage as the stream format says, played on the master side of
// the pty: frames found by their zero, data checked by the running CRC-32.
class FakeReceiver {
public:
    FakeReceiver(int fd, Trouble trouble, pid_t sender, AfterStop after_stop = {})
        : fd_(fd), trouble_(trouble), sender_(sender), after_stop_(std::move(after_stop)) {}

    // Plays until the sender has ended and the line is quiet.
    void run(testkit::Child& child) {
        send({0x15});  // its start
        for (;;) {
            pollfd ready{fd_, POLLIN, 0};
            if (poll(&ready, 1, 50) <= 0) {
                if (child.try_wait()) {
                    ended_at = Clock::now();
                    return;
                }
                if (pending_nak_ && Clock::now() >= nak_at_) {
                    pending_nak_ = false;
                    answer(0x15, expected_);
                }
                if (waiting_after_stop_ && after_stop_.answers_again && Clock::now() >= nak_at_) {
                    fresh_nak_sent_ = true;
                    nak_at_ = Clock::now() + RECEIVER_TIME_OUT;
                    answer(0x15, expected_);
                }
                continue;
            }
            unsigned char chunk[4096];
            const ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) continue;
            for (ssize_t i = 0; i < n; ++i) {
                if (left_) ++bytes_after_leaving;
                if (stopped_) ++bytes_after_stop;
                if (stopped_ && !fresh_nak_sent_) ++bytes_before_fresh_nak;
                take(chunk[i]);
            }
            if (stop_due_) stop_sender();
        }
    }

    std::vector<unsigned char> stored;
    int leading_zeros = 0;
    int frames_seen = 0;
    int ends_seen = 0;
    int byes_seen = 0;
    size_t bytes_after_leaving = 0;  // once its LEAVING F was readable
    std::vector<Clock::time_point> end_times;
    bool quiet_while_stopped = true;  // nothing came between the stop and its NAK
    // Stopped mid-stream: whether the stop was seen, what came after it, and when.
    bool stop_seen = false;
    size_t bytes_after_stop = 0;
    size_t bytes_before_fresh_nak = 0;  // of those, before its first NAK after the continue
    Clock::time_point continued_at{};
    Clock::time_point ended_at{};  // when the sender was seen ended

private:
    void send(std::vector<unsigned char> bytes) { (void)!write(fd_, bytes.data(), bytes.size()); }
    void answer(unsigned char code, unsigned arg) {
        const auto low = static_cast<unsigned char>(arg & 0x7F);
        send({code, low, static_cast<unsigned char>(low ^ 0x7F)});
    }
    // LEAVING carries its reason twice.
    void leave(char reason) { send({0x04, static_cast<unsigned char>(reason), static_cast<unsigned char>(reason)}); }

    void take(unsigned char byte) {
        if (byte != 0) {
            raw_.push_back(byte);
            return;
        }
        if (raw_.empty()) {
            if (frames_seen == 0) ++leading_zeros;
            return;
        }
        wire_bytes_ += raw_.size() + 1;
        const std::vector<unsigned char> content = cobs_decoded(raw_);
        raw_.clear();
        if (content.size() == 3 && content[2] == static_cast<unsigned char>(~content[1]))
            control(content[0], content[1]);
        else if (content.size() == 133 || content.size() == 1029)
            data(content);
    }

    void control(unsigned char code, unsigned char arg) {
        if (code == 0x03) {
            ++byes_seen;
            return;
        }
        if (code != 0x04) return;
        ++ends_seen;
        end_times.push_back(Clock::now());
        if (trouble_ == Trouble::nak_first_end && ends_seen == 1) {
            answer(0x15, expected_);
            return;
        }
        if (arg != (expected_ & 0xFF)) {
            answer(0x15, expected_);
            return;
        }
        if (trouble_ == Trouble::lose_first_done && ends_seen == 1) return;
        if (trouble_ == Trouble::stopped_after_end && ends_seen == 1) {
            // The sender is late: stopped past its window, then continued.
            kill(sender_, SIGSTOP);
            std::this_thread::sleep_for(std::chrono::milliseconds(STREAM_SEND_WINDOW_MS + 200));
            kill(sender_, SIGCONT);
            // Nothing may come now: the receiver may be leaving. Then, as one whose
            // END was lost, it NAKs after its own time-out.
            quiet_while_stopped = testkit::drain(fd_, 2 * STREAM_RESEND_MS).empty();
            pending_nak_ = true;
            nak_at_ = Clock::now();
            return;
        }
        leave('D');
    }

    // The sender has written its window and waits: it is stopped, the
    // answers to the window and the case's stale bytes wait on the line, and
    // then it is continued.
    void stop_sender() {
        stop_due_ = false;
        kill(sender_, SIGSTOP);
        stop_seen = seen_stopped(sender_);
        stopped_ = true;
        for (unsigned block = 1; block < expected_; ++block) answer(0x06, block);
        send({after_stop_.stale.begin(), after_stop_.stale.end()});
        kill(sender_, SIGCONT);
        continued_at = Clock::now();
        waiting_after_stop_ = true;
        nak_at_ = continued_at + RECEIVER_TIME_OUT;
    }

    // The sender writes while its window is open, then waits: all of it is here.
    bool window_out() const {
        return frames_seen >= 2 && (wire_bytes_ >= stream_window_bytes(115200) || frames_seen >= 64);
    }

    void data(const std::vector<unsigned char>& content) {
        ++frames_seen;
        waiting_after_stop_ = false;
        const size_t size = content.size() - 5;
        const unsigned block = content[0];
        if (block != (expected_ & 0xFF)) return;  // a repeat or one after a gap: the NAK said it
        const uLong crc = crc32(crc_, content.data() + 1, static_cast<uInt>(size));
        uint32_t check = 0;
        for (int i = 0; i < 4; ++i) check |= static_cast<uint32_t>(content[1 + size + i]) << (8 * i);
        if (check != crc) {
            answer(0x15, expected_);
            return;
        }
        if (trouble_ == Trouble::nak_block_2 && block == 2 && !troubled_) {
            troubled_ = true;
            answer(0x15, 2);
            return;
        }
        crc_ = crc;
        stored.insert(stored.end(), content.begin() + 1, content.begin() + 1 + static_cast<long>(size));
        ++expected_;
        if (trouble_ == Trouble::lose_answer_block_2 && block == 2) return;
        if (trouble_ == Trouble::give_up) {
            // The sender writes while its window is open, then waits: once all of it is here, it gives up.
            if (window_out() && !left_) {
                leave('F');
                left_ = true;
            }
            return;
        }
        if (trouble_ == Trouble::stopped_mid_stream && !stopped_) {
            // Its answers wait on the line with the stale bytes.
            stop_due_ = window_out();
            return;
        }
        answer(0x06, block);
    }

    int fd_;
    Trouble trouble_;
    pid_t sender_;
    std::vector<unsigned char> raw_;
    size_t wire_bytes_ = 0;
    unsigned expected_ = 1;
    uLong crc_ = 0;
    bool troubled_ = false;
    bool left_ = false;
    bool pending_nak_ = false;
    Clock::time_point nak_at_{};
    AfterStop after_stop_;
    bool stop_due_ = false;
    bool stopped_ = false;
    bool waiting_after_stop_ = false;  // continued, and no frame since
    bool fresh_nak_sent_ = false;
};

class StreamSendTest : public PtyTest {
protected:
    void SetUp() override {
        testkit::write_pattern_file(path, SIZE, 3);
        expected = testkit::read_file(path);
        expected.resize(6 * 1024 + 3 * 128, static_cast<char>(XMODEM_FILLER));
    }

    // Runs stream_send in a child, with a fast receiver session as the dialogue's, against the fake receiver.
    int send_against(FakeReceiver*& receiver, Trouble trouble, std::unique_ptr<FakeReceiver>& holder,
                     const AfterStop& after_stop = {}) {
        const int port_fd = slave_fd;
        const std::string image = path;
        const std::string err = errors;
        testkit::Child child([port_fd, image, err] {
            const int log = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(log, 2);
            receiver_session_begin(port_fd, ReceiverEntry::fast);
            XmodemDigest digest;
            stream_send(image.c_str(), port_fd, &digest, FAST_OPTIONS);
            return 0;
        });
        holder = std::make_unique<FakeReceiver>(master_fd, trouble, child.pid(), after_stop);
        receiver = holder.get();
        receiver->run(child);
        return child.wait();
    }

    static constexpr long long SIZE = 6 * 1024 + 300;  // six 1 KiB frames and three short ones
    testkit::TempDir dir{"stream-send"};
    const std::string path = dir.file("image");
    const std::string errors = dir.file("stderr");
    std::string expected;
};

}  // namespace

TEST_F(StreamSendTest, EveryFrameArrivesOnceWhateverTheReceiverDoes) {
    struct Case {
        const char* what;
        Trouble trouble;
        int ends;
    };
    const Case cases[] = {
        {"a clean receiver: every frame once, END, BYE", Trouble::none, 1},
        {"a NAK of block 2: back to it", Trouble::nak_block_2, 1},
        {"a lost answer: a later ACK covers it", Trouble::lose_answer_block_2, 1},
        {"a lost LEAVING D: END again within the window, then BYE", Trouble::lose_first_done, 2},
        {"a damaged END: the NAK sends it again", Trouble::nak_first_end, 2},
        {"a sender late for its window: nothing until a fresh NAK, then END", Trouble::stopped_after_end, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<FakeReceiver> holder;
        FakeReceiver* receiver = nullptr;
        EXPECT_EQ(send_against(receiver, c.trouble, holder), 0) << testkit::read_file(errors);
        EXPECT_EQ(std::string(receiver->stored.begin(), receiver->stored.end()), expected);
        EXPECT_EQ(receiver->leading_zeros, 1);
        EXPECT_EQ(receiver->ends_seen, c.ends);
        EXPECT_EQ(receiver->byes_seen, 1);
        EXPECT_TRUE(receiver->quiet_while_stopped);
        if (c.trouble == Trouble::none) {
            EXPECT_EQ(receiver->frames_seen, 9);
        }
        if (c.trouble == Trouble::lose_first_done) {
            EXPECT_LT(receiver->end_times[1] - receiver->end_times[0],
                      std::chrono::milliseconds(STREAM_SEND_WINDOW_MS + 50));
        }
        peer_drain(20);
    }
}

TEST_F(StreamSendTest, AReceiverThatGivesUpIsSentNothingMore) {
    std::unique_ptr<FakeReceiver> holder;
    FakeReceiver* receiver = nullptr;
    EXPECT_EQ(send_against(receiver, Trouble::give_up, holder), 1);
    EXPECT_EQ(receiver->bytes_after_leaving + peer_drain(50).size(), 0u);
    EXPECT_NE(testkit::read_file(errors).find(TRANSFER_CANCELLED_MESSAGE), std::string::npos);
}

// After a stop the answers that waited are stale: the receiver may have given
// up meanwhile, and its NAKs would send frames into the monitor.
TEST_F(StreamSendTest, AfterAContinueOnlyAFreshAnswerLetsTheStreamGoOn) {
    const std::string nak_5{0x15, 5, 5 ^ 0x7F};  // the receiver's time-out while the sender slept
    const std::string leaving_f{0x04, 'F', 'F'};
    const std::string damaged_leaving{0x04, 'F', 'E'};
    struct Case {
        const char* what;
        AfterStop after_stop;
        bool whole;          // the image arrives whole; else the run ends as lost, nothing sent after the stop
        bool gone_in_stale;  // the stale bytes say so: no fresh answer is waited for
    };
    const Case cases[] = {
        {"still there: its stale NAK is not acted on, its fresh one is", {nak_5, true}, true, false},
        {"gave up while stopped", {nak_5 + nak_5 + leaving_f, false}, false, true},
        // Its LEAVING damaged on the way, as when the two ends' rates differ.
        {"back at the monitor", {nak_5 + damaged_leaving + "\r\nPMON> ", false}, false, true},
        {"silent after the continue", {nak_5, false}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<FakeReceiver> holder;
        FakeReceiver* receiver = nullptr;
        const int status = send_against(receiver, Trouble::stopped_mid_stream, holder, c.after_stop);
        const std::string err = testkit::read_file(errors);
        ASSERT_TRUE(receiver->stop_seen);
        if (c.whole) {
            EXPECT_EQ(status, 0) << err;
            EXPECT_EQ(std::string(receiver->stored.begin(), receiver->stored.end()), expected);
            EXPECT_EQ(receiver->bytes_before_fresh_nak, 0u);
            EXPECT_EQ(receiver->byes_seen, 1);
        } else {
            EXPECT_EQ(status, 1);
            EXPECT_NE(err.find("Error:  the receiver was lost while kelvane was stopped.  Aborting."),
                      std::string::npos)
                << err;
            EXPECT_EQ(receiver->bytes_after_stop + peer_drain(50).size(), 0u);
        }
        if (c.gone_in_stale) {
            // A receiver still there would NAK again only after its 5 s time-out.
            EXPECT_LT(receiver->ended_at - receiver->continued_at, std::chrono::seconds(5));
        }
        peer_drain(20);
    }
}

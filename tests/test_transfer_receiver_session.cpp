// SPDX-License-Identifier: GPL-2.0-or-later
// How a run that ends stops the receiver it leaves behind: the test plays the
// receiver on the master side of a pty, answering the abort's CANs, and checks
// what the abort put on the line.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "core/exit_signals.h"
#include "core/fatal.h"
#include "support/pty_test.h"
#include "testkit/process.h"
#include "transfer/control_bytes.h"
#include "transfer/receiver_session.h"
#include "transfer/stream_frame.h"
#include "transfer/xmodem.h"

namespace {

const std::string S_NAK(1, static_cast<char>(NAK));
const std::string S_ACK(1, static_cast<char>(ACK));
const std::string S_CAN(1, static_cast<char>(CAN));
const std::string CAN_CAN = S_CAN + S_CAN;
constexpr int READ_MS = 5000;  // guards a hung abort; the answers come at once

// What the line held before the run ended.
enum class Before {
    none,        // no receiver started
    started,     // start command sent, nothing read
    waiting,     // its first NAK read: it waits for a packet
    packet_out,  // a packet sent, its answer not read
    eot_out,     // EOT sent, its answer not read
};

void set_up(int port_fd, Before before, ReceiverEntry entry) {
    if (before == Before::none) return;
    receiver_session_begin(port_fd, entry);
    if (before == Before::started) return;
    receiver_session_read(NAK);
    if (before == Before::packet_out) receiver_session_sent(SOH);
    if (before == Before::eot_out) receiver_session_sent(EOT);
}

// The receiver's side: wait for so many bytes, then answer.
struct Exchange {
    size_t hear;
    std::string answer;
};

class ReceiverAbortTest : public PtyTest {
protected:
    // Plays the exchanges while the abort runs; what the abort sent.
    std::string abort_against(const std::string& already, const std::vector<Exchange>& exchanges) {
        peer_write(already);
        std::string heard;
        std::thread receiver([&] {
            for (const Exchange& e : exchanges) {
                heard += peer_read(e.hear, READ_MS);
                peer_write(e.answer);
            }
        });
        receiver_abort();
        receiver.join();
        return heard + peer_drain(100);
    }
};

TEST_F(ReceiverAbortTest, CancelsAtAPacketBoundaryAndOnlyAReceiverThatStillRuns) {
    struct Case {
        const char* name;
        Before before;
        std::string already;  // on the line before the abort
        std::vector<Exchange> exchanges;
        std::string sent;
        ReceiverEntry entry = ReceiverEntry::plain;
    };
    const Case cases[] = {
        {"no receiver: nothing is sent", Before::none, "", {}, ""},
        {"waiting for a packet: CAN, CAN, acknowledged", Before::waiting, "", {{2, S_ACK}}, CAN_CAN},
        {"a NAK (a damaged CAN): CAN, CAN again", Before::waiting, "", {{2, S_NAK}, {2, S_ACK}}, CAN_CAN + CAN_CAN},
        {"a packet out: its answer first, then CAN, CAN", Before::packet_out, S_NAK, {{2, S_ACK}}, CAN_CAN},
        {"a packet out and noise before its answer", Before::packet_out, "xy" + S_ACK, {{2, S_ACK}}, CAN_CAN},
        {"the receiver's own CAN, CAN: it has stopped, nothing is sent", Before::packet_out, CAN_CAN, {}, ""},
        {"a lone CAN is a damaged answer: CAN, CAN", Before::packet_out, S_CAN, {{2, S_ACK}}, CAN_CAN},
        {"EOT acknowledged: the receiver has stopped", Before::eot_out, S_ACK, {}, ""},
        {"EOT refused: CAN, CAN", Before::eot_out, S_NAK, {{2, S_ACK}}, CAN_CAN},
        {"a packet out and a quiet line: CANs enough to end any packet, then the pair",
         Before::packet_out,
         "",
         {{XMODEM_PACKET_SIZE, S_NAK}, {2, S_ACK}},
         std::string(XMODEM_PACKET_SIZE + 2, static_cast<char>(CAN))},
        {"started, its echo and NAK: CAN, CAN", Before::started, "g -e a0080274\r\n" + S_NAK, {{2, S_ACK}}, CAN_CAN},
        {"started but no NAK: nothing says it runs, nothing is sent", Before::started, "", {}, ""},
        {"a receiver that never answers: one pair, then the abort gives up", Before::waiting, "", {}, CAN_CAN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        set_up(slave_fd, c.before, c.entry);
        EXPECT_EQ(abort_against(c.already, c.exchanges), c.sent);
        EXPECT_EQ(abort_against("", {}), "") << "the abort ended the session: a second one sends nothing";
        peer_drain(20);
    }
}

TEST_F(ReceiverAbortTest, AReceiverBackAtTheMonitorIsLeftAlone) {
    set_up(slave_fd, Before::waiting, ReceiverEntry::plain);
    receiver_session_end();
    EXPECT_EQ(abort_against("", {}), "");
}

namespace {

std::string bytes_of(std::initializer_list<int> values) {
    std::string out;
    for (const int v : values) out += static_cast<char>(v);
    return out;
}

const std::string ABORT_FRAME = bytes_of({0x00, 0x02, 0x18, 0x02, 0xFF, 0x00});  // a zero, then ABORT
const std::string BYE_FRAME = bytes_of({0x02, 0x03, 0x02, 0xFF, 0x00});
std::string leaving(char reason) { return bytes_of({0x04, reason, reason}); }
const std::string CR = "\r";  // after BYE: ends the receiver's wait at the monitor's rate
const std::string NAK_ANSWER = bytes_of({0x15, 0x0D, 0x72});  // NAK 13: its argument a carriage return

// What the streamed session knew before the run ended.
enum class Known { receiving, end_out, left, bye_sent };

}  // namespace

TEST_F(ReceiverAbortTest, AStreamedReceiverGetsAnAbortFrameAndNoCans) {
    struct Case {
        const char* name;
        Known known;
        std::vector<Exchange> exchanges;
        std::string sent;
    };
    const Case cases[] = {
        {"receiving: ABORT, its LEAVING, BYE",
         Known::receiving,
         {{ABORT_FRAME.size(), leaving('A')}},
         ABORT_FRAME + BYE_FRAME + CR},
        {"a lost LEAVING: ABORT again",
         Known::receiving,
         {{ABORT_FRAME.size(), ""}, {ABORT_FRAME.size(), leaving('A')}},
         ABORT_FRAME + ABORT_FRAME + BYE_FRAME + CR},
        {"a NAK first: it still receives, LEAVING after",
         Known::receiving,
         {{ABORT_FRAME.size(), NAK_ANSWER + leaving('A')}},
         ABORT_FRAME + BYE_FRAME + CR},
        {"its END just out: ABORT within the window",
         Known::end_out,
         {{ABORT_FRAME.size(), leaving('D')}},
         ABORT_FRAME + BYE_FRAME + CR},
        {"known to be leaving: nothing", Known::left, {}, ""},
        {"it heard our BYE: only the carriage return at the monitor's rate", Known::bye_sent, {}, "\r"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        set_up(slave_fd, Before::waiting, ReceiverEntry::fast);
        if (c.known == Known::end_out) receiver_session_stream_end_sent();
        if (c.known == Known::left) receiver_session_stream_left();
        if (c.known == Known::bye_sent) receiver_session_stream_bye();
        const auto start = std::chrono::steady_clock::now();
        const std::string sent = abort_against("", c.exchanges);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
        EXPECT_EQ(sent, c.sent);
        EXPECT_EQ(abort_against("", {}), "") << "the abort ended the session: a second one sends nothing";
        peer_drain(20);
    }
}

// A receiver whose END went out longer ago than the window may be gone: the
// abort waits for a fresh answer before it sends anything.
TEST_F(ReceiverAbortTest, AStreamedReceiverPastTheWindowIsSentNothingUnasked) {
    set_up(slave_fd, Before::waiting, ReceiverEntry::fast);
    receiver_session_stream_end_sent();
    std::this_thread::sleep_for(std::chrono::milliseconds(STREAM_SEND_WINDOW_MS + 50));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(abort_against("", {}), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
}

// The abort is an exit-cleanup entry: a fatal error and an exit signal both
// run it before the process ends, and a second signal does not cut it short.
TEST_F(ReceiverAbortTest, EveryWayOutRunsItBeforeTheProcessEnds) {
    struct Case {
        const char* name;
        int (*end_run)();   // in the child, with a receiver waiting for a packet
        int second_signal;  // sent once the first CAN is heard, 0 for none
        int status;
    };
    const Case cases[] = {
        {"a fatal error", []() -> int { error_exit("Error:  something failed"); }, 0, 1},
        {"SIGTERM",
         [] {
             raise(SIGTERM);
             return 0;
         },
         0, 128 + SIGTERM},
        {"SIGINT, then SIGTERM during the abort",
         [] {
             raise(SIGINT);
             return 0;
         },
         SIGTERM, 128 + SIGINT},
        // The signal waits for the abort to end, then ends the process itself.
        {"a fatal error, then SIGTERM during the abort", []() -> int { error_exit("Error:  something failed"); },
         SIGTERM, 128 + SIGTERM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int port_fd = slave_fd;
        const auto end_run = c.end_run;
        testkit::Child child([port_fd, end_run] {
            install_exit_signal_handlers();
            set_up(port_fd, Before::waiting, ReceiverEntry::plain);
            return end_run();
        });
        std::string heard = peer_read(1, READ_MS);
        if (c.second_signal != 0) child.signal(c.second_signal);
        heard += peer_read(1, READ_MS);
        peer_write(S_NAK);  // the pair is answered with NAK once: it must come again
        heard += peer_read(2, READ_MS);
        peer_write(S_ACK);
        EXPECT_EQ(child.wait(), c.status);
        EXPECT_EQ(heard, CAN_CAN + CAN_CAN);
        peer_drain(20);
    }
}

}  // namespace

// SPDX-License-Identifier: GPL-2.0-or-later
// How a run that ends stops the receiver it leaves behind: the test plays the
// receiver on the master side of a pty, answering the abort's CANs, and checks
// what the abort put on the line.
#include <signal.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "core/exit_signals.h"
#include "core/fatal.h"
#include "support/pty_test.h"
#include "testkit/process.h"
#include "transfer/control_bytes.h"
#include "transfer/receiver_session.h"
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
        {"the fast entry: CAN, CAN, then the carriage return its end waits for",
         Before::waiting,
         "",
         {{2, S_ACK}},
         CAN_CAN + "\r",
         ReceiverEntry::fast},
        {"the fast entry after EOT was acknowledged: only the carriage return",
         Before::eot_out,
         S_ACK,
         {},
         "\r",
         ReceiverEntry::fast},
        {"the fast entry whose receiver sent CAN, CAN: only the carriage return",
         Before::packet_out,
         CAN_CAN,
         {},
         "\r",
         ReceiverEntry::fast},
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

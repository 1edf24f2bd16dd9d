// SPDX-License-Identifier: GPL-2.0-or-later
#include "transfer/receiver_session.h"

#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

#include "core/errno_guard.h"
#include "core/exit_cleanup.h"
#include "serial/byte_wait.h"
#include "serial/line_speed.h"
#include "transfer/control_bytes.h"
#include "transfer/stream_frame.h"
#include "transfer/xmodem_packet.h"

namespace {

// What the line holds, as far as the host knows.
enum Phase : int {
    IDLE,        // no receiver of ours runs
    STARTING,    // started; its first NAK not read yet
    ANSWER_DUE,  // a packet or control byte is out, its answer not read
    EOT_DUE,     // EOT is out: an ACK ends the receiver
    BETWEEN,     // the answer was read; the receiver waits for our next packet
    ONE_CAN,     // a CAN was read: a second one would mean the receiver stopped
    STOPPED,     // the receiver has stopped by itself
};

constexpr int ABORT_LIMIT_MS = 2000;   // the whole abort
constexpr int ANSWER_QUIET_MS = 1000;  // no answer after this much quiet: none is coming
constexpr int SECOND_CAN_MS = 100;     // a receiver's two CANs come back to back
constexpr int RESEND_QUIET_MS = 50;    // before CAN, CAN again: longer than the receiver's 20 ms
constexpr int RATE_DRAIN_MS = 200;     // for the last CANs to leave before the rate changes
constexpr int HELD_SIGNALS[] = {SIGALRM, SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr unsigned char END_BYTE = '\r';  // ends the fast entry's wait; a monitor answers it with a prompt

volatile sig_atomic_t port = -1;
volatile sig_atomic_t phase = IDLE;
volatile sig_atomic_t fast_entry = 0;
volatile sig_atomic_t streamed = 0;

// What the host knows of a streamed receiver.
enum StreamState : int {
    RECEIVING,  // no END or ABORT out: it waits for frames
    ENDING,     // an END or ABORT is out: it may be leaving
    LEFT,       // leaving or gone, or may be: nothing more goes on the line
    BYE_SENT,   // it heard our BYE: back at the monitor's rate, waiting for a byte
};
volatile sig_atomic_t stream_state = RECEIVING;
// While ENDING, the end of the time within which a byte still reaches the receiver.
std::atomic<long> stream_open_until{0};
static_assert(std::atomic<long>::is_always_lock_free, "read from a signal handler");

void abort_entry(void*) { receiver_abort(); }

long now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

// One byte within timeout_ms (never past deadline), or -1.
int read_byte(int fd, int timeout_ms, long deadline) {
    const long until = now_ms() + timeout_ms < deadline ? now_ms() + timeout_ms : deadline;
    for (;;) {
        const long left = until - now_ms();
        if (left <= 0) return -1;
        // Only poll and the monotonic clock: this may run from a signal handler.
        if (wait_for_byte(fd, std::chrono::milliseconds(left)) != ByteWait::ready) return -1;
        unsigned char byte = 0;
        if (read(fd, &byte, 1) == 1) return byte;
        // Readable but empty: a hung-up line. Nothing more will come.
        if (line_hung_up(fd)) return -1;
    }
}

// The receiver's next ACK, NAK or CAN; other bytes are passed over. -1 after
// quiet_ms without any byte, or at the deadline.
int read_answer(int fd, int quiet_ms, long deadline) {
    for (;;) {
        const int byte = read_byte(fd, quiet_ms, deadline);
        if (byte < 0 || byte == ACK || byte == NAK || byte == CAN) return byte;
    }
}

// After a first CAN: whether the receiver's second one follows.
bool second_can_follows(int fd, long deadline) { return read_byte(fd, SECOND_CAN_MS, deadline) == CAN; }

void send_cans(int fd, int count, long deadline) {
    unsigned char cans[XMODEM_1K_PACKET_SIZE + 2];
    if (count > static_cast<int>(sizeof cans)) count = static_cast<int>(sizeof cans);
    for (int i = 0; i < count; ++i) cans[i] = CAN;
    int sent = 0;
    while (sent < count && now_ms() < deadline) {
        // A hung-up line is written all the same: the write fails and ends the sending.
        const ByteWait room = wait_for_room(fd, std::chrono::milliseconds(deadline - now_ms()));
        if (room != ByteWait::ready && room != ByteWait::hung_up) continue;
        const ssize_t written = write(fd, cans + sent, static_cast<size_t>(count - sent));
        if (written < 0 && errno != EINTR && errno != EAGAIN) return;
        if (written > 0) sent += static_cast<int>(written);
    }
}

// CAN, CAN (or first_count CANs) until the receiver acknowledges; again after
// a NAK once the line is quiet. True when the receiver was heard to stop.
bool cancel(int fd, int first_count, long deadline) {
    int count = first_count;
    while (now_ms() < deadline) {
        send_cans(fd, count, deadline);
        count = 2;
        int answer = read_answer(fd, ANSWER_QUIET_MS, deadline);
        // A NAK answers noise (a damaged CAN): wait until the line is quiet, unless the stop comes after all.
        while (answer == NAK) {
            const int next = read_byte(fd, RESEND_QUIET_MS, deadline);
            if (next < 0) break;
            if (next == ACK || next == CAN) answer = next;
        }
        if (answer == ACK || answer == CAN) return true;
        if (answer != NAK) return false;  // silence: nothing more to try within the limit
    }
    return false;
}

// A run of CANs as long as the longest packet: it completes a packet the
// receiver is still reading (which it then refuses), and a receiver between
// packets takes it as noise; either way it NAKs once the line is quiet.
int packet_filling_run() { return fast_entry ? XMODEM_1K_PACKET_SIZE : XMODEM_PACKET_SIZE; }

// Writes all of a frame before the deadline; false when the line refused it.
bool send_frame(int fd, const unsigned char* frame, size_t length, long deadline) {
    size_t sent = 0;
    while (sent < length && now_ms() < deadline) {
        const ByteWait room = wait_for_room(fd, std::chrono::milliseconds(deadline - now_ms()));
        if (room != ByteWait::ready && room != ByteWait::hung_up) continue;
        const ssize_t written = write(fd, frame + sent, length - sent);
        if (written < 0 && errno != EINTR && errno != EAGAIN) return false;
        if (written > 0) sent += static_cast<size_t>(written);
    }
    return sent == length;
}

// Whether a byte may go to the streamed receiver now: it may be leaving once
// an END or ABORT is out, and one that has left must hear nothing more.
bool stream_may_send() {
    return stream_state == RECEIVING || (stream_state == ENDING && now_ms() <= stream_open_until);
}

void stream_sent_end() {
    stream_open_until = now_ms() + STREAM_SEND_WINDOW_MS;
    if (stream_state == RECEIVING) stream_state = ENDING;
}

// The streamed receiver's abort (see the header); true when BYE went out after its LEAVING.
bool stream_abort(int fd, long deadline) {
    unsigned char abort_frame[1 + STREAM_CONTROL_FRAME_MAX];
    abort_frame[0] = STREAM_DELIMITER;  // ends whatever frame the receiver holds
    const size_t abort_length = 1 + stream_control_frame(STREAM_ABORT, 0, abort_frame + 1);
    StreamAnswerReader reader;
    bool flushed = false;
    while (now_ms() < deadline) {
        if (stream_may_send()) {
            // Frames still queued would only delay the ABORT.
            if (!flushed) tcflush(fd, TCOFLUSH);
            flushed = true;
            if (!send_frame(fd, abort_frame, abort_length, deadline)) return false;
            stream_sent_end();
        }
        const long wait_over = now_ms() + STREAM_RESEND_MS < deadline ? now_ms() + STREAM_RESEND_MS : deadline;
        for (int byte; (byte = read_byte(fd, static_cast<int>(wait_over - now_ms()), wait_over)) >= 0;) {
            const std::optional<StreamAnswer> answer = stream_answer_take(reader, static_cast<unsigned char>(byte));
            if (!answer) continue;
            if (answer->code == STREAM_LEAVING) {
                unsigned char bye[STREAM_CONTROL_FRAME_MAX];
                const size_t bye_length = stream_control_frame(STREAM_BYE, 0, bye);
                // Too late for BYE: it goes once the line has been quiet, and hears nothing more.
                const bool bye_sent = stream_may_send() && send_frame(fd, bye, bye_length, deadline);
                stream_state = bye_sent ? BYE_SENT : LEFT;
                return bye_sent;
            }
            // Still receiving: whatever it does next, it does not leave before our next ABORT.
            if (stream_state == ENDING) stream_open_until = now_ms() + STREAM_SEND_WINDOW_MS;
        }
    }
    return false;
}

}  // namespace

void receiver_session_begin(int port_fd, ReceiverEntry entry) {
    register_exit_cleanup(abort_entry, nullptr, SignalSafety::safe);
    port = port_fd;
    fast_entry = entry == ReceiverEntry::fast;
    streamed = entry == ReceiverEntry::fast;
    stream_state = RECEIVING;
    phase = STARTING;
}

void receiver_session_stream_end_sent() { stream_sent_end(); }

void receiver_session_stream_answered() { stream_open_until = now_ms() + STREAM_SEND_WINDOW_MS; }

void receiver_session_stream_left() { stream_state = LEFT; }

void receiver_session_stream_bye() { stream_state = BYE_SENT; }

void receiver_session_sent(unsigned char first_byte) {
    if (phase == IDLE || phase == STOPPED) return;
    phase = first_byte == EOT ? EOT_DUE : ANSWER_DUE;
}

void receiver_session_read(unsigned char byte) {
    // A streamed receiver's start is its one plain NAK; its sender records the rest.
    if (streamed) {
        if (phase == STARTING && byte == NAK) phase = BETWEEN;
        return;
    }
    switch (phase) {
        case STARTING:
            if (byte == NAK) phase = BETWEEN;
            break;
        case ANSWER_DUE:
        case BETWEEN:
            phase = byte == CAN ? ONE_CAN : BETWEEN;
            break;
        case EOT_DUE:
            phase = byte == ACK ? STOPPED : byte == CAN ? ONE_CAN : BETWEEN;
            break;
        case ONE_CAN:
            phase = byte == CAN ? STOPPED : BETWEEN;
            break;
        default:
            break;
    }
}

void receiver_session_end() { phase = IDLE; }

void receiver_session_gave_up() {
    if (phase != IDLE) phase = STOPPED;
}

void receiver_abort() {
    const int at = phase;
    if (at == IDLE) return;
    const ErrnoGuard errno_kept;
    // Neither the progress tick nor a second exit signal cuts the abort short.
    sigset_t held;
    sigemptyset(&held);
    for (const int signal_number : HELD_SIGNALS) sigaddset(&held, signal_number);
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &held, &previous);
    alarm(0);

    const int fd = port;
    const long deadline = now_ms() + ABORT_LIMIT_MS;
    bool stopped = at == STOPPED;
    int answer = -1;
    switch (streamed ? -1 : at) {
        case -1:
            if (stream_state == BYE_SENT)
                stopped = true;
            else if (stream_state == LEFT)
                stopped = false;
            else if (at != STARTING || read_answer(fd, ANSWER_QUIET_MS, deadline) == NAK)
                stopped = stream_abort(fd, deadline);  // started, its NAK says it runs
            break;
        case STARTING:
            // Started, it NAKs at once; without that NAK nothing says it runs.
            if (read_answer(fd, ANSWER_QUIET_MS, deadline) == NAK) stopped = cancel(fd, 2, deadline);
            break;
        case ANSWER_DUE:
        case EOT_DUE:
            answer = read_answer(fd, ANSWER_QUIET_MS, deadline);
            if (answer == ACK && at == EOT_DUE)
                stopped = true;
            else if (answer == CAN && second_can_follows(fd, deadline))
                stopped = true;
            else
                stopped = cancel(fd, answer < 0 ? packet_filling_run() : 2, deadline);
            break;
        case ONE_CAN:
            stopped = second_can_follows(fd, deadline) || cancel(fd, 2, deadline);
            break;
        case BETWEEN:
            stopped = cancel(fd, 2, deadline);
            break;
        default:
            break;
    }
    if (fast_entry) {
        port_back_to_monitor_rate(RATE_DRAIN_MS);
        if (stopped) {
            const ssize_t written = write(fd, &END_BYTE, 1);
            (void)written;  // nothing more to be done on the way out
        }
    }
    phase = IDLE;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

void receiver_stop_leftover(int port_fd) {
    port = port_fd;
    fast_entry = 0;
    streamed = 0;
    phase = ANSWER_DUE;
    receiver_abort();
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "transfer/sender_guard.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <string>

#include "core/fatal.h"
#include "serial/byte_wait.h"
#include "serial/line_assembly.h"
#include "transfer/control_bytes.h"
#include "transfer/receiver_session.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Our receiver answers noise once the line has been quiet 20 ms; its own
// time-out NAKs come seconds apart, while a give-up's CANs, verdict and the
// monitor's prompt come back to back. So a line quiet this long after a byte
// has said all it had to say.
constexpr milliseconds QUIET{20};
// Stale bytes after a stop are read until the line is quiet this long: long
// enough for the give-up's text and the prompt, short of a time-out's NAK.
constexpr milliseconds STALE_QUIET{300};
// However much the line says, these bound each reading (a babbling line).
constexpr milliseconds BEHIND_LIMIT{1000};
constexpr milliseconds STALE_LIMIT{3000};
// The receiver's NAK to the probe comes after its 20 ms of quiet; a slow or
// emulated handheld is given ample time.
constexpr milliseconds PROBE_ANSWER{2000};
constexpr unsigned char PROBE = 0x00;  // starts no packet; a monitor's command line does not keep it
constexpr size_t STALE_TEXT_KEPT = 256;  // where the prompt of a receiver back at the monitor is sought

volatile sig_atomic_t continued = 0;

void note_continue(int) { continued = 1; }

// Bytes until the line has been quiet quiet_ms (or limit passes), each
// recorded for the receiver session; the count, and the first kept bytes.
size_t read_until_quiet(int port_fd, milliseconds quiet, milliseconds limit, std::string* kept = nullptr) {
    size_t count = 0;
    const auto give_up = Clock::now() + limit;
    while (Clock::now() < give_up) {
        if (wait_for_byte(port_fd, quiet) != ByteWait::ready) break;
        unsigned char byte = 0;
        if (read(port_fd, &byte, 1) != 1) break;  // a hung-up line is quiet too
        receiver_session_read(byte);
        ++count;
        if (kept != nullptr && kept->size() < STALE_TEXT_KEPT) *kept += static_cast<char>(byte);
    }
    return count;
}

// Its CAN or the monitor's prompt among what was read: the receiver is back at
// the monitor (or waits for our byte to go there) and needs no stopping.
bool shows_receiver_gone(const std::string& text, LineEndRule monitor_prompt) {
    return text.find(static_cast<char>(CAN)) != std::string::npos ||
           (monitor_prompt != nullptr && monitor_prompt(text));
}

[[noreturn]] void receiver_lost(const std::string& seen, LineEndRule monitor_prompt) {
    if (shows_receiver_gone(seen, monitor_prompt)) receiver_session_gave_up();
    refuse_exit("Error:  the receiver was lost while kelvane was stopped.  Aborting.");
}

}  // namespace

void sender_stop_watch_install() {
    static bool installed = false;
    if (installed) return;
    struct sigaction action {};
    action.sa_handler = note_continue;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGCONT, &action, nullptr);
    installed = true;
}

bool sender_was_continued() {
    if (continued == 0) return false;
    continued = 0;
    return true;
}

unsigned char sender_reply_after_continue(int port_fd, unsigned char first, bool after_eot,
                                          LineEndRule monitor_prompt) {
    if (after_eot && first == ACK) return ACK;
    std::string stale(1, static_cast<char>(first));
    read_until_quiet(port_fd, STALE_QUIET, STALE_LIMIT, &stale);
    if (shows_receiver_gone(stale, monitor_prompt)) receiver_lost(stale, monitor_prompt);
    if (write(port_fd, &PROBE, 1) != 1) receiver_lost(stale, monitor_prompt);
    std::string answer;
    if (wait_for_byte(port_fd, PROBE_ANSWER, OnSignal::end) == ByteWait::ready)
        read_until_quiet(port_fd, STALE_QUIET, STALE_LIMIT, &answer);
    const bool naks_only = !answer.empty() && answer.find_first_not_of(static_cast<char>(NAK)) == std::string::npos;
    if (!naks_only) receiver_lost(answer, monitor_prompt);
    return NAK;
}

ReplyVerdict judge_reply(unsigned char reply, const std::string& behind) {
    if (reply == CAN) return ReplyVerdict::receiver_gone;
    if (behind.empty()) return reply == ACK ? ReplyVerdict::accepted : ReplyVerdict::resend;
    // A stray byte next to a real answer is noise: the resend is acknowledged
    // as a repeat. More than that, or anything but an answer, is the give-up.
    const bool one_answer = behind.size() == 1 && (behind[0] == static_cast<char>(ACK) || behind[0] == static_cast<char>(NAK));
    return one_answer ? ReplyVerdict::resend : ReplyVerdict::receiver_gone;
}

ReplyVerdict sender_judge_reply(int port_fd, unsigned char reply) {
    std::string behind;
    if (reply != ACK && reply != NAK && reply != CAN) read_until_quiet(port_fd, QUIET, BEHIND_LIMIT, &behind);
    const ReplyVerdict verdict = judge_reply(reply, behind);
    // Damaged CANs and the text behind them: the receiver has given up by itself.
    if (verdict == ReplyVerdict::receiver_gone && reply != CAN) receiver_session_gave_up();
    return verdict;
}

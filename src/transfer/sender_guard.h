// SPDX-License-Identifier: GPL-2.0-or-later
// What a sender checks before it puts anything more on the line.
//
// Two things can make a sender's next bytes reach the monitor's command line,
// where a carriage return inside a packet runs the text before it:
//  - A stopped sender (SIGSTOP, CTRL-Z). While it sleeps the receiver times
//    out, NAKs, gives up with CAN, CAN and returns to the monitor, and its
//    NAKs wait in the line. So a SIGCONT is noted, and the first reply a
//    sender reads after it is stale: the line is read until it is quiet, then
//    a probe byte that starts no packet (NUL) asks whether the receiver is
//    still there. Our receiver answers such noise with NAK once the line is
//    quiet; a monitor ignores the byte. NAKs alone in answer mean the
//    receiver waits for what the sender has in hand (a repeat of a packet it
//    took is acknowledged again, not stored); anything else, or nothing, is a
//    lost receiver, and the run ends. An ACK of EOT read first stands: the
//    receiver ended the transfer before the stop, and its report follows.
//  - The receiver's give-up damaged on the line. It sends CAN, CAN, at once
//    its verdict text, and the monitor its prompt. A reply the sender does
//    not know is a damaged answer only when the line falls quiet right after
//    it (or after one ACK or NAK, the real answer beside a stray byte);
//    anything more behind it is the give-up, and the sending ends.
//
// Both the 128-byte XMODEM sender and any other sender on our receiver call
// sender_reply_after_continue on every reply they read once
// sender_was_continued says so, and sender_judge_reply on every reply.
#pragma once

#include <string>

#include "serial/line_assembly.h"

// Notes every SIGCONT from here on (installed once; the handler only sets a flag).
void sender_stop_watch_install();
// True once after each SIGCONT since the last call.
bool sender_was_continued();

// The reply to act on in place of first, read after the process was
// continued: ACK when first acknowledges EOT (after_eot), NAK when the
// receiver answered the probe. Ends the run when the receiver is lost;
// monitor_prompt (the caller's) tells the monitor's text among what was read.
unsigned char sender_reply_after_continue(int port_fd, unsigned char first, bool after_eot, LineEndRule monitor_prompt);

enum class ReplyVerdict {
    accepted,       // ACK
    resend,         // NAK, or a damaged answer with a quiet line behind it
    receiver_gone,  // CAN, or a reply with the give-up behind it
};

// The verdict on a reply and the bytes that came right behind it, before the
// line fell quiet. Nothing behind: ACK is accepted, anything else but CAN is
// resent. One ACK or NAK behind is a stray byte beside the real answer, and
// the packet is resent (the receiver acknowledges a repeat). Anything more
// behind, or anything that is not an answer, is the give-up.
ReplyVerdict judge_reply(unsigned char reply, const std::string& behind);
// Reads the bytes behind a reply (only for one that is neither ACK nor NAK:
// those are answers enough) until the line is quiet, and judges it.
ReplyVerdict sender_judge_reply(int port_fd, unsigned char reply);

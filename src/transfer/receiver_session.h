// SPDX-License-Identifier: GPL-2.0-or-later
// The receiver our start command began, from that command until it is known
// to be back at the monitor, and how a run that ends in between stops it.
//
// A receiver left running when the host gives up keeps waiting for packets
// for minutes, and whatever the host sends next (its resends, the wake-up of
// the next run) reaches it or, once it has stopped, the monitor's command
// line, where a carriage return in a packet runs the text before it. So every
// way out of the run (a fatal error, SIGINT, SIGTERM, SIGHUP) goes through
// receiver_abort, an exit-cleanup entry that is safe in a signal handler:
// it finds a packet boundary (the answer to what is on the line, or a second
// of quiet, after which a run of CANs as long as a packet ends any packet the
// receiver is still reading), sends CAN, CAN, and again after a NAK, until the
// receiver acknowledges; it sends no CAN when the receiver has stopped by
// itself (EOT acknowledged, or its own CAN, CAN). The whole abort takes at
// most about two seconds, and the exit signals are held meanwhile.
//
// The fast entry's receiver is streamed (stream_wire.h) and is never sent a
// CAN: a run of them would reach the monitor's command line once the receiver
// has left. Its abort sends nothing at the fast rate when the receiver is
// known to be leaving or gone (its LEAVING was read, or the monitor's prompt
// seen); otherwise it drops what waits in the
// output queue, sends a zero and ABORT, again after STREAM_RESEND_MS without
// LEAVING, and on LEAVING sends BYE. Once an END or ABORT is out the receiver
// may be leaving, and a byte goes out only within STREAM_SEND_WINDOW_MS of
// the last one or of a fresh ACK or NAK. The receiver counts as returned only
// on its LEAVING, never on a quiet line. Then the line goes back to the
// monitor's rate, and after a BYE one carriage return ends the receiver's
// wait for the host there.
//
// The XMODEM sender records what it puts on the line and what it reads, each
// with the exit signals held, so that a signal finds the record as the line is.
#pragma once

// How the receiver was started.
enum class ReceiverEntry : bool {
    plain = false,
    fast = true,  // the streamed second stage; at its end it waits for a byte at the monitor's rate
};

// Just before the start command goes out. Registers the exit-cleanup entry on first use.
void receiver_session_begin(int port_fd, ReceiverEntry entry);
// The streamed sender's steps (stream_send.h), each recorded with the exit signals held.
// An END went out: from now on the receiver may be leaving.
void receiver_session_stream_end_sent();
// A fresh ACK or NAK after an END: the receiver still receives.
void receiver_session_stream_answered();
// The receiver is leaving or back at the monitor, or may be with its answers
// lost: nothing more goes on the line.
void receiver_session_stream_left();
// BYE went out after LEAVING: the receiver is back at the monitor's rate.
void receiver_session_stream_bye();
// A packet (its first byte), EOT or a CAN went out: its answer is due.
void receiver_session_sent(unsigned char first_byte);
// A byte came from the receiver.
void receiver_session_read(unsigned char byte);
// The receiver is back at the monitor: nothing is left to stop.
void receiver_session_end();
// The receiver was seen to give up by itself (its CANs arrived damaged): an
// abort sends it no CAN, only what brings it back to the monitor.
void receiver_session_gave_up();

// Makes a running receiver give up (see above), then ends the session; does
// nothing without one. Async-signal-safe.
void receiver_abort();
// A receiver that a killed run may have left running on port_fd, in a state
// nobody knows: stopped as receiver_abort stops one whose answer is due (a
// packet-filling run of CANs when the line stays quiet, then CAN, CAN until
// it acknowledges). Takes at most about two seconds; with no receiver there,
// the CANs reach whatever listens.
void receiver_stop_leftover(int port_fd);

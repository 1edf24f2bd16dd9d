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
// itself (EOT acknowledged, or its own CAN, CAN). After the fast entry the
// line goes back to the monitor's rate and one carriage return ends the
// receiver's wait for the host there. The whole abort takes at most about two
// seconds, and the exit signals are held meanwhile.
//
// A streamed receiver may be in the middle of a packet whenever the sender
// stops, and answers in threes whose block bytes may look like ACK or CAN:
// its abort waits until the answers on their way have drained (a quiet
// line), sends a run of CANs as long as a streamed packet and then CAN, CAN,
// and counts the receiver as stopped once its last bytes before a quiet
// line are an ACK answer or a CAN pair.
//
// The sender records what it puts on the line and what it reads, each with
// the exit signals held, so that a signal finds the record as the line is.
#pragma once

// How the receiver was started.
enum class ReceiverEntry : bool {
    plain = false,
    fast = true,  // 1024-byte packets; at its end it waits for a byte at the monitor's rate
};

// Just before the start command goes out. Registers the exit-cleanup entry on first use.
void receiver_session_begin(int port_fd, ReceiverEntry entry);
// The sender streams (stream_send.h): many packets may be on the line, and the
// receiver answers in threes; the abort then first lets the answers drain.
void receiver_session_streamed();
// The streamed receiver answered the end of the stream: it has stopped.
void receiver_session_stream_stopped();
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

// SPDX-License-Identifier: GPL-2.0-or-later
// Getting the monitor back at the start of a run after a run that was killed.
//
// A run killed with SIGKILL (or a cable pulled) cannot stop what it started in
// the handheld. Our receiver may still be running: in the middle of a packet
// it takes the wake-up's carriage returns as packet bytes and answers nothing
// for a long time. Or the monitor may still be in "load", in the middle of an
// S-record, where a carriage return is record text until an ETX ends the
// record. Both stay silent where a monitor at its prompt answers at once (our
// receiver takes a carriage return for noise and waits on). So when no byte
// answers the first carriage return, or no prompt follows the first wake-up,
// within a few seconds, the run recovers the monitor once: it stops a
// receiver as the abort of a failed transfer does (a run of CANs as long as a
// packet completes any packet it is reading, which it refuses; then CAN, CAN
// and a quiet line make it give up). Unless the monitor's prompt follows (a
// stopped receiver returns to it), it then ends a load as a failed upload
// does (loader_upload.h): ETX ends the S-record the monitor is still reading
// (it refuses it), and the loader's end record with its ETX ends the load.
// Then it drains and wakes the monitor again, well before the line reader's
// 50 s time-out.
#pragma once

#include <chrono>
#include <string>

class LineReader;

// How long a first answer may take before the recovery bytes go out.
constexpr std::chrono::seconds RECOVERY_WAIT{2};

// Stops a receiver left running and ends a load left open, as described
// above; true when any byte came back after the receiver's stop.
bool recover_monitor(int port_fd);
// port_getpmon for the run's first wake-up: with the recovery bytes, a drain
// and a second wake-up when no prompt comes within RECOVERY_WAIT. The text
// drained meanwhile.
std::string getpmon_recovering(LineReader& line);

// SPDX-License-Identifier: GPL-2.0-or-later
// Getting the monitor back at the start of a run after a run that was killed.
//
// A run killed with SIGKILL (or a cable pulled) cannot stop what it started in
// the handheld. Our receiver may still be running: in the middle of a packet
// it takes the wake-up's carriage returns as packet bytes and answers nothing
// for a long time. Or the monitor may still be in "load", in the middle of an
// S-record, where it ignores carriage returns until an ETX ends the record.
// Both stay silent where a monitor at its prompt answers at once. So when no
// byte answers the first carriage return, or no prompt follows the first
// wake-up, within a few seconds, the run sends the recovery bytes once: a run
// of CANs as long as the longest packet (it completes any packet the receiver
// is reading, which it then refuses, and makes a receiver between packets give
// up), then ETX (it ends an S-record, which the monitor refuses; the next
// carriage return on an empty record ends the load). Then it drains and wakes
// the monitor again, well before the line reader's 50 s time-out. A monitor at
// its command line ignores these control bytes.
#pragma once

#include <chrono>
#include <string>

// How long a first answer may take before the recovery bytes go out.
constexpr std::chrono::seconds RECOVERY_WAIT{3};

// Sends the recovery bytes described above.
void send_recovery_bytes(int port_fd);
// port_getpmon for the run's first wake-up: with the recovery bytes, a drain
// and a second wake-up when no prompt comes within RECOVERY_WAIT. The text
// drained meanwhile.
std::string getpmon_recovering(int port_fd, char* buffer);

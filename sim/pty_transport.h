// SPDX-License-Identifier: GPL-2.0-or-later
// The pseudo-terminal under the line (line.h): its slave is the host's port.
//
// The slave starts as a serial driver hands a new port over (Linux's standard
// settings: 38400 bit/s, canonical input with echo, CR read as LF, output
// post-processed), set through the master before its name is printed; the host
// makes it raw and sets its rate, as it must on a real port. Nothing on the
// master's side depends on the slave's settings but the host's rate (and the
// count of bytes the host has not read, which takes whole lines only while the
// host leaves the slave canonical). The
// simulator keeps one slave descriptor of its own open (and never reads it):
// otherwise every time the host closes the port the master reports a hang-up
// and what the handheld writes in between is lost or left stale. The host's
// rate is read through that keeper descriptor: the host sets it with tcsetattr
// on its own descriptor of the same slave.
//
// The line's reader thread (line_reader) takes what the host writes one read
// at a time from pty_read. The other way, the line hands over each byte once it has crossed: it is
// written to the master at once, or held by the USB adapter (adapter.h), whose
// own thread sends a held burst when its timer runs out. The locks taken here
// are the line's, in the line's order (line.h).
#pragma once

#include "line_state.h"

#include <cstddef>

#include <cstdint>
#include <string>
#include <termios.h>

// Creates the pseudo-terminal with the slave as a new port, opens the keeper descriptor.
bool pty_open(Line& line, std::string& error);
// The settings a serial driver gives a new port (the kernel's tty_std_termios).
void standard_port_settings(termios& t);
// The bit rate the host's end of the slave is set to; 0 when unknown.
uint32_t pty_host_rate(const Line& line);
// Waits a short while for bytes from the host and reads up to `size` of them
// into `bytes`; 0 when none came (a hang-up report or an error waits a little
// first, so that a caller in a loop does not spin on it).
size_t pty_read(Line& line, uint8_t* bytes, size_t size);
// Closes the pseudo-terminal for good: the line was hung up.
void pty_hang_up(Line& line);
// A byte that has crossed the line at `at` goes to the host (caller holds
// tx_mu and no other lock of the line's).
void pty_hand_to_host(Line& line, uint8_t byte, int64_t at);
// Body of the adapter's thread, which sends a held burst when its timer runs
// out (started only with an adapter latency); never returns.
[[noreturn]] void pty_adapter(Line& line);
// Bytes on their way to the host that it has not read yet, the adapter's included.
int pty_unread_by_host(Line& line);

// SPDX-License-Identifier: GPL-2.0-or-later
// The pseudo-terminal under the line (line.h): its slave is the host's port.
//
// The line is made raw through the master before its name is printed, so the
// slave's line discipline neither echoes nor translates anything. The
// simulator keeps one slave descriptor of its own open (and never reads it):
// otherwise every time the host closes the port the master reports a hang-up
// and what the handheld writes in between is lost or left stale. The host's
// rate is read through that keeper descriptor: the host sets it with tcsetattr
// on its own descriptor of the same slave.
//
// A reader thread hands what the host writes to the line, one read at a time.
// The other way, the line hands over each byte once it has crossed: it is
// written to the master at once, or held by the USB adapter (adapter.h), whose
// own thread sends a held burst when its timer runs out. The locks taken here
// are the line's, in the line's order (line.h).
#pragma once

#include "line.h"

#include <cstdint>
#include <string>

// Creates the pseudo-terminal, makes it raw, opens the keeper descriptor.
bool pty_open(Line& line, std::string& error);
// The bit rate the host's end of the slave is set to; 0 when unknown.
uint32_t pty_host_rate(const Line& line);
// Body of the reader thread; returns after line_stop or a hang-up.
void pty_reader(Line& line);
// A byte that has crossed the line at `at` goes to the host (caller holds
// tx_mu and no other lock of the line's).
void pty_hand_to_host(Line& line, uint8_t byte, int64_t at);
// Body of the adapter's thread, which sends a held burst when its timer runs
// out (started only with an adapter latency); never returns.
[[noreturn]] void pty_adapter(Line& line);
// Bytes on their way to the host that it has not read yet, the adapter's included.
int pty_unread_by_host(Line& line);

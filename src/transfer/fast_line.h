// SPDX-License-Identifier: GPL-2.0-or-later
// The fast line: moving a transfer to a faster rate than the monitor's.
//
// Our receiver's fast entry starts at the monitor's rate and reports the
// divisor d0 the monitor left in its UART ("FAST %04x"); its clock is then
// 16 * 115200 * d0, and a rate is makeable when some divisor gives it within
// 2 %. The host asks for the divisor ('S', low byte, high byte) or for no
// change ('='), and a change counts only once an exchange at the new rate
// has worked: 'U' every 10 ms until a 'K' comes back, then 'G', answered by
// the NAK that starts the transfer. If the fast line does not come up both
// sides return to the monitor's rate and repeat the exchange there; if that
// fails too the sender simply waits for the receiver's NAK as always. Every
// way back to the monitor's rate prints one notice line and is no failure.
// Asked for the monitor's own rate, the host answers the offer with '=' and
// prints nothing: the transfer gains only the 1 KiB packets.
// After the transfer the receiver returns to d0 by itself and waits for one
// byte from the host before it reports, so the host goes back to 115200
// before it says anything again.
#pragma once

#include <optional>
#include <string>

// A divisor from the monitor's d0 that gives rate within 2 %, or 0 when none does.
unsigned fast_line_divisor(unsigned d0, unsigned long rate);
// The rate that divisor makes with the monitor's d0, in bit/s.
unsigned long fast_line_rate(unsigned d0, unsigned divisor);
// d0 from a line that starts with "FAST " and four hex digits; none otherwise or for 0.
std::optional<unsigned> parse_fast_offer(const char* line);

struct FastLine {
    bool fast = false;            // the transfer runs at the asked rate
    bool start_nak_seen = false;  // the receiver's first NAK has been read
    std::string start_text;       // the lines before the offer (the start command's echo)
};

// Right after the fast entry was started: negotiates rate. Never fails the run.
FastLine fast_line_start(int port_fd, unsigned long rate);
// After the transfer's EOT was acknowledged: back to the monitor's rate.
void fast_line_end(int port_fd, const FastLine& line);

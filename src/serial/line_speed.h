// SPDX-License-Identifier: GPL-2.0-or-later
// Line speeds other than the monitor's, and asking the driver for low latency.
//
// The speed table lists the termios speeds above the monitor's 115200 bit/s
// that this host's termios can name; -b takes those and the monitor's own
// rate, and refuses any other before the port is opened. A speed change waits with tcdrain
// until every byte already written has left, and a little longer for
// an adapter's own FIFO (20 ms), so nothing in flight is sent at the wrong rate, then
// changes input and output speed together.
//
// Low latency: USB serial adapters hold received bytes for their latency
// timer (16 ms on common ones) unless the driver's ASYNC_LOW_LATENCY flag is
// set, which costs a stop-and-wait protocol most of a fast line. The flag is
// set with TIOCGSERIAL/TIOCSSERIAL and the old flags are put back through the
// exit-cleanup table (an ioctl only, so also from a signal handler). Drivers
// without these ioctls (ptys, some UARTs) are left alone, silently.
#pragma once

#include <termios.h>

constexpr unsigned long MONITOR_RATE = 115200;   // the monitor's console, both ways
constexpr speed_t MONITOR_SPEED_CODE = B115200;  // the same, as termios names it

struct LineSpeed {
    unsigned long rate;  // bit/s
    speed_t code;        // the termios constant
};

// The speeds -b accepts, ascending.
extern const LineSpeed LINE_SPEEDS[];
extern const int LINE_SPEED_COUNT;

// The termios constant for rate (MONITOR_RATE included), or B0 when this host cannot set it.
speed_t line_speed_code(unsigned long rate);

// Waits until everything written has left, then runs the port at rate (which
// line_speed_code knows). The way back to the monitor's rate is registered in
// the exit-cleanup table before the first change. A failure ends the run.
void port_set_speed(int port_fd, unsigned long rate);
// Puts a port this run made fast back to the monitor's rate; once, and only
// then. The exit cleanup and port_close both call it; async-signal-safe.
void port_restore_speed();

// For the way out, also from a signal handler (async-signal-safe, never ends
// the run): when the port runs at another rate than the monitor's, waits at
// most wait_ms for what was written to leave, lets it settle, and sets the
// monitor's rate again. False when the port was at the monitor's rate already.
bool port_back_to_monitor_rate(int wait_ms);

// Sets ASYNC_LOW_LATENCY where the driver has it, with its undoing registered
// before; elsewhere does nothing. errno is as it was either way.
void port_low_latency(int port_fd);
// Puts back the flags port_low_latency changed; once, and only then. The
// exit cleanup and port_close both call it; async-signal-safe.
void port_restore_latency();

// SPDX-License-Identifier: GPL-2.0-or-later
// The one wait for a byte on the line (or for room to write one).
//
// Every reader of the port waits through wait_for_byte: one poll on the one
// descriptor, bounded by a limit in milliseconds, never longer. A signal that
// interrupts the poll either is waited past (the poll is asked again for what
// is left of the limit) or ends the wait, as the caller chooses: a sender
// whose meter ticks once a second lets the tick end a wait and redraws. The
// wait uses only poll and the monotonic clock, so an abort that runs from a
// signal handler may wait through it too.
//
// A hung-up line (an adapter unplugged, the far end of a pseudo-terminal
// closed) answers every read at once with nothing. The wait reports it when
// the poll says so without input; a reader that got an empty read after a
// ready wait asks line_hung_up, which looks the same way. What a hang-up
// means (a failed read, a silent line, the end of a wait) is its caller's
// judgement; where it is seen is here alone.
#pragma once

#include <chrono>

enum class ByteWait {
    ready,        // a read (or a write) will not block
    quiet,        // the limit passed with nothing to read
    hung_up,      // the line is gone: reads bring nothing, at once, for ever
    interrupted,  // a signal came (only when the caller lets it end the wait)
    failed,       // poll itself failed (errno tells)
};

enum class OnSignal {
    resume,  // the wait goes on for what is left of its limit
    end,     // the signal ends the wait as interrupted
};

// Bounds of the waits shared by the serial readers.
// A read on the port returns after at most this long with one byte or none
// (the terminal's VMIN 0 / VTIME 5, set by port_setup).
constexpr std::chrono::milliseconds PORT_READ_SILENCE{500};

ByteWait wait_for_byte(int fd, std::chrono::milliseconds limit, OnSignal on_signal = OnSignal::resume);
ByteWait wait_for_room(int fd, std::chrono::milliseconds limit, OnSignal on_signal = OnSignal::resume);
// After an empty read: true when the line has hung up.
bool line_hung_up(int fd);

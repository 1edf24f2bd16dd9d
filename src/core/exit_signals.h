// SPDX-License-Identifier: GPL-2.0-or-later
// SIGINT, SIGTERM, SIGHUP and SIGQUIT end the run through the exit cleanup;
// SIGPIPE is ignored.
//
// The handler runs the async-signal-safe entries of the exit-cleanup table
// (they remove the run's pieces, printing their "Cleanup removing" lines with
// write(2) from texts made beforehand, and give up the port's exclusive mode),
// then restores the signal's default action and raises it again, so that a
// shell sees the process ended by that signal. A signal that was ignored when
// the program started stays ignored: a background job of a non-interactive
// shell ignores SIGINT, and a CTRL-C at the terminal is not meant for it.
// SIGPIPE is ignored whatever it was: output to a closed standard error is
// dropped and the flash goes on, so no pager that quits early can leave the
// handheld half-flashed with the pieces and the port's modes behind.
#pragma once

#include <csignal>

// Installs the handler for each exit signal not ignored at start; ignores SIGPIPE.
void install_exit_signal_handlers();

// While set, the handler writes text to standard error before it runs the
// cleanup entries: what the user must know about a step the signal cuts off
// (the monitor goes on programming the flash after the run has ended). The
// text must live as long as it is set; nullptr removes it.
void set_signal_note(const char* text);

// Holds the exit signals off for its scope, so that a step that must not be
// cut in two (a piece created and then recorded for removal) is not.
class ExitSignalsHeld {
public:
    ExitSignalsHeld();
    ~ExitSignalsHeld();
    ExitSignalsHeld(const ExitSignalsHeld&) = delete;
    ExitSignalsHeld& operator=(const ExitSignalsHeld&) = delete;

private:
    sigset_t previous_;
};

// SIGINT, SIGTERM and SIGHUP end the run through the exit cleanup.
//
// The handler runs the async-signal-safe entries of the exit-cleanup table
// (they remove the run's pieces, printing their "Cleanup removing" lines with
// write(2) from texts made beforehand, and give up the port's exclusive mode),
// then restores the signal's default action and raises it again, so that a
// shell sees the process ended by that signal. A signal that was ignored when
// the program started stays ignored: a background job of a non-interactive
// shell ignores SIGINT, and a CTRL-C at the terminal is not meant for it.
#pragma once

#include <csignal>

// Installs the handler for each of the three signals not ignored at start.
void install_exit_signal_handlers();

// Holds the three signals off for its scope, so that a step that must not be
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

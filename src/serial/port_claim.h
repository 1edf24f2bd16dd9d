// SPDX-License-Identifier: GPL-2.0-or-later
// One program on the port at a time.
//
// Two programs that drive one serial line write into each other's dialogue,
// so right after the port is opened, before its settings change and before
// the first byte goes out, port_claim takes an exclusive non-blocking flock on
// the descriptor and sets the terminal's exclusive mode (TIOCEXCL). A port
// that another process holds ends the run with "Error:  port '%s' is in use by
// another program.  Aborting." and keeps its settings; an open refused with
// EBUSY (another program's exclusive mode, for a user who is not root; root
// passes it, and meets the flock instead) gets the same message.
//
// The exclusive mode belongs to the terminal, not to the descriptor: it stays
// while anything else keeps the device open (a simulator or a modem manager
// keeping its side open), so the run clears it again (TIOCNXCL) on every way
// out: port_close at the normal end, and an async-signal-safe entry of the
// exit-cleanup table, registered before the mode is set, on the fatal ends
// and on SIGINT, SIGTERM, SIGHUP and SIGQUIT. A run killed with SIGKILL leaves
// the mode set. So a mode found set is judged by who has the device open
// (port_holder.h): another program means the port is in use, as above; nobody
// means a killed run left it, and it is cleared and set as this run's own
// where the open goes through it (root). Anyone else finds the open refused,
// and the message says that an earlier run did not clean up and how to clear
// it.
#pragma once

// Opens the port and makes it this run's own; a port that cannot be opened
// ("Error: Unable to open port '%s'", with the system's reason) or that another
// program holds ends the run.
int port_open_claimed(const char* device_path);
// Ends the run when another program holds the open port; then makes it this run's own.
void port_claim(int port_fd, const char* device_path);
// Undoes what the run did to the port (its line speed, the low latency, the
// exclusive mode), through the functions the exit cleanup uses, then closes it.
void port_close(int port_fd);

// SPDX-License-Identifier: GPL-2.0-or-later
// Upload of the device-side XMODEM receiver through the monitor's "load" command.
//
// Each S-record line goes out followed by ETX; the monitor may echo or print
// anything before it answers the line with ACK, or refuses it with NAK. An
// answer is awaited through 0.5 s silences (the port's read limit) but no
// longer than 5 s in all, so a babbling line cannot hold the upload.
//
// A failed upload leaves the monitor inside "load", which takes records ended
// by ETX and nothing else: a carriage return there is record text, not the
// end of anything. Before the run ends, the load is ended the way the monitor
// defines one: after a NAK the monitor holds no part of a line, otherwise ETX
// closes the part it holds; then the upload's own end record (its S7 line)
// with its ETX ends the load and brings the prompt back. That is tried up to
// three times, as a byte of it may be lost as well, until the prompt comes.
#pragma once

#include "serial/line_assembly.h"

constexpr int LOADER_SREC_SLOT = 57;  // the longest line has 56 characters

// The receiver xmodem-load.srec as S-record lines, in sending order.
extern const char loader_srec[][LOADER_SREC_SLOT];
extern const int loader_srec_count;

// The second stage (stream-stage.srec): the streamed receive of a fast run,
// which the loader's image has no room for, loaded at STREAM_STAGE_ENTRY and
// calling the loader's routines.
extern const char stream_srec[][LOADER_SREC_SLOT];
extern const int stream_srec_count;

// Uploads every line of loader_srec; returns only once every line was
// acknowledged. monitor_prompt (the caller's) tells when a failed load has
// brought the monitor back to its prompt.
void ex_send(int port_fd, LineEndRule monitor_prompt);
// Uploads every line of stream_srec the same way.
void ex_send_stream_stage(int port_fd, LineEndRule monitor_prompt);
// Ends a load a killed run may have left open (wake_recovery.h): when the
// monitor says nothing with its prompt within a moment, ETX and the loader's
// end record with its ETX, as a failed upload ends its load. True when any
// byte came back.
bool end_open_load(int port_fd, LineEndRule monitor_prompt);

// SPDX-License-Identifier: GPL-2.0-or-later
// Upload of the device-side XMODEM receiver through the monitor's "load" command.
//
// Each S-record line goes out followed by ETX; the monitor may echo or print
// anything before it answers the line with ACK, or refuses it with NAK. An
// answer is awaited through 0.5 s silences (the port's read limit) but no
// longer than 5 s in all, so a babbling line cannot hold the upload.
//
// A failed upload leaves the monitor inside "load", where it would take every
// later carriage return as part of a record. Before the run ends, the load is
// ended the way the monitor allows: ETX closes whatever part of a line it
// holds, and a carriage return on an empty record ends the load and brings
// the prompt back; the pair is tried up to three times, as a byte of it may be
// lost as well.
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

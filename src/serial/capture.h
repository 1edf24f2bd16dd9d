// SPDX-License-Identifier: GPL-2.0-or-later
// The transcript "./capture.log" kept with -l.
//
// capture_begin creates (or empties) the file and writes its header; every
// later record is appended by capture_write, which opens and closes the file
// around its one write and never creates it. A record is the readable bytes
// (LF and 0x20..0x7E) of at most the first 1024 bytes of a text, then LF;
// a text with nothing readable leaves no record. Failures never stop the run:
// a log that cannot be created is warned about once and later records are
// dropped. The name is opened without following a symbolic link and without
// blocking, and anything but a regular file with no other name there (a link,
// a second name of a file kept with ln, a FIFO, a device) counts as a failed
// open; the file is emptied only once it is known to be the log alone.
#pragma once

constexpr char CAPTURE_FILE[] = "./capture.log";
constexpr int CAPTURE_RECORD_MAX = 1024;  // bytes examined per record

// Set by -l; the serial operations copy their traffic only while it is set.
extern bool capture_enabled;

void capture_begin(const char* banner, const char* echo_line);
void capture_write(const void* payload, int length);

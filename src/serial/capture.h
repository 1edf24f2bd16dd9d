// The transcript "./capture.log" kept with -l.
//
// capture_begin creates (or empties) the file and writes its header; every
// later record is appended by capture_write, which opens and closes the file
// around its one write and never creates it.
#pragma once

constexpr char CAPTURE_FILE[] = "./capture.log";

// Set by -l; the serial operations copy their traffic only while it is set.
extern int capture_enabled;

void capture_begin(const char* banner, const char* echo_line);
void capture_write(const void* payload, int length);

// SPDX-License-Identifier: GPL-2.0-or-later
// The switches of one run and the process-wide texts built from the command line.
//
// main records the whole argument vector in command_echo before any switch is
// read, so that the capture log header started by -l always shows the complete
// command line. The switches are then read with POSIX getopt rules: reading
// stops at the first word that is not a switch and nothing is ever reordered,
// so every word after the first file name is a file name or a target.
#pragma once

#include <optional>
#include <string>

#include "core/run_options.h"

constexpr int COMMAND_ECHO_SIZE = 1024;  // at most 1023 characters
constexpr int DEVICE_PATH_SIZE = 128;    // at most 127 characters

// "\n" followed by " <word>" for every argument that still fits.
extern char command_echo[COMMAND_ECHO_SIZE];
// "/dev/<port_name>" (or a -s that begins with "/dev/" as given), or
// "/dev/ttyS0"; a path longer than 127 characters is refused, never cut.
extern char device_path[DEVICE_PATH_SIZE];

// The switch letters; a leading "+" keeps glibc from reordering the words.
constexpr char SWITCHES[] = "+hlrs:t:vCDRXb:VuL";
constexpr char DEFAULT_DEVICE[] = "/dev/ttyS0";
// The default port instead of ttyS0, in the forms -s takes; -s wins over it.
constexpr char PORT_VARIABLE[] = "KELVANE_PORT";
constexpr char DEVICE_DIR[] = "/dev/";
constexpr char DEVICE_DIR_FORMAT[] = "/dev/%s";

// Fills echo with "\n" and " <word>" for each argv element that keeps it within
// 1023 characters; a word that does not fit is skipped and the next one tried.
void build_command_echo(char (&echo)[COMMAND_ECHO_SIZE], int argc, const char* const argv[]);
// Fills path from -s, or with the default device: a name that begins with
// "/dev/" as given, any other under "/dev/". A path that does not fit in 127
// characters ends the run: cut short it would name another device.
void build_device_path(char (&path)[DEVICE_PATH_SIZE], const RunOptions& run_options);
// The port KELVANE_PORT names, as run_options.port_name takes it, or none
// when it is unset or empty.
std::optional<std::string> port_from_environment();
// Reads every switch into run_options (-h/-v, an unknown switch and a missing
// argument end the process with the help text, -L lists the ports and ends it,
// -l starts the capture log, a -b rate this host cannot set or below the
// monitor's 115200 bit/s ends the run) and returns the
// index of the first word after the switches. -b or -V with -X ends the run
// too: a receiver already in RAM may have neither the fast nor the verify entry.
int read_switches(int argc, char* argv[], RunOptions& run_options);
// Ends the process through --help or --version (help.h) when either stands
// among the switch words (before the first word that is not a switch, and
// before "--"); otherwise returns.
void answer_long_switches(int argc, char* const argv[]);

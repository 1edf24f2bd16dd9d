// SPDX-License-Identifier: GPL-2.0-or-later
// The version banner and usage text, shown for -h, -v and too few words, and
// for --help and --version, which a user pipes into a pager or a script reads:
// those go to standard output and end with status 0.
#pragma once

// Writes the help text to standard error and exits with status 1. Nothing is
// cleaned up: it runs before any job exists.
[[noreturn]] void print_help();
// --help: the same text on standard output, status 0.
[[noreturn]] void print_help_asked();
// --version: the banner and a line end on standard output, status 0.
[[noreturn]] void print_version_asked();

// SPDX-License-Identifier: GPL-2.0-or-later
// The version banner and usage text, shown for -h, -v and too few words.
#pragma once

// Writes the help text to standard error and exits with status 1. Nothing is
// cleaned up: it runs before any job exists.
[[noreturn]] void print_help();

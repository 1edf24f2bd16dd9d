// SPDX-License-Identifier: GPL-2.0-or-later
// How the run ends: on a failure where it is found, or normally.
//
// A failure is reported where it is found: error_exit formats the message into
// 128 bytes (longer messages are cut after the 127th character), prints it on
// standard error as "\n%s - %s\n\n" with strerror(errno) when errno is not zero,
// else as "\n%s\n\n", and ends through cleanup_and_exit(1). A failure that is
// this program's own judgement (a wrong file, a refused switch, a damaged
// answer) rather than a failed system call ends through refuse_exit, which
// clears errno first, so no stale system error is printed after it. The normal end takes
// cleanup_and_exit(0). Both run the exit-cleanup table first (the jobs module
// registers there the removal of the temporary pieces), with the exit signals
// held off, then exit; a signal that came meanwhile then ends the process by
// itself, once every entry is done.
//
// A caller that knows what the user can do about a failure attaches a hint
// before it ends the run: the fatal path prints it as one line beginning
// "Hint:  " right after the message's line and before the blank line that ends
// it. At most one hint follows a message; a later attach replaces an earlier.
#pragma once

#include <string>

constexpr int ERROR_MESSAGE_SIZE = 128;

[[noreturn]] void error_exit(const char* format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void refuse_exit(const char* format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void cleanup_and_exit(int exit_status);

// Memory runs out the one way: an allocation that fails throws std::bad_alloc
// (no nothrow new, no null checks where memory is taken), and main ends the
// run with "Error:  out of memory" through out_of_memory_exit, the failed
// allocation's errno included.
[[noreturn]] void out_of_memory_exit();

constexpr char HINT_PREFIX[] = "Hint:  ";
// The hint the next fatal message carries (without "Hint:  " and line end);
// an empty text removes it. Leaves errno as it was.
void attach_exit_hint(std::string hint);

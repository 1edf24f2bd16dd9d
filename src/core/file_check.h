// SPDX-License-Identifier: GPL-2.0-or-later
// What an image file was when it was checked, and whether a name still leads to it.
//
// The size limits, the split and the overwrite guard judge an image by the
// size taken at its check, and the flash command gives the monitor that size;
// the file that is sent must therefore be that same file, unchanged. The check
// keeps the file's identity (device, inode), its size and its modification and
// change times; before the receiver is started, when the transfer opens the
// file, and after the transfer, the file is compared with them. Any difference
// ends the run before a flash command can follow:
//   "Error:  '%s' changed since it was checked.  Aborting."
// A piece this run wrote itself is told apart: a name that leads to another
// file (or to none) was put there by someone else, and the run ends with
//   "Error:  '%s' was replaced during the run.  Aborting."
// Both are this program's judgement, not a failed call: errno is cleared.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "core/file_identity.h"

struct FileCheck {
    FileIdentity identity;
    int64_t size = 0;
    timespec modified{};
    timespec changed{};
    bool is_piece = false;  // a piece this run wrote
};

FileCheck file_check_of(const struct stat& status, bool is_piece = false);
// True when status shows the checked file with the checked size and times.
bool file_unchanged(const struct stat& status, const FileCheck& check);
// Ends the run with the message for name; other_file when the name leads to
// another file or to none, rather than to the checked file changed.
[[noreturn]] void file_changed_exit(const char* name, const FileCheck& check, bool other_file);
// Looks name up again; ends the run unless it still leads to the checked file, unchanged.
void recheck_file(const char* name, const FileCheck& check);

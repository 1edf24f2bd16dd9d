// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/file_check.h"

#include <cerrno>

#include "core/errno_guard.h"
#include "core/fatal.h"

namespace {

bool same_time(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

}  // namespace

FileCheck file_check_of(const struct stat& status, bool is_piece) {
    return {identity_of(status), status.st_size, status.st_mtim, status.st_ctim, is_piece};
}

bool file_unchanged(const struct stat& status, const FileCheck& check) {
    return is_same_file(status, check.identity) && status.st_size == check.size &&
           same_time(status.st_mtim, check.modified) && same_time(status.st_ctim, check.changed);
}

void file_changed_exit(const char* name, const FileCheck& check, bool other_file) {
    if (check.is_piece && other_file) refuse_exit("Error:  '%s' was replaced during the run.  Aborting.", name);
    refuse_exit("Error:  '%s' changed since it was checked.  Aborting.", name);
}

void recheck_file(const char* name, const FileCheck& check) {
    const ErrnoGuard errno_kept;
    struct stat status;
    if (stat(name, &status) != 0) file_changed_exit(name, check, true);
    if (!file_unchanged(status, check)) file_changed_exit(name, check, !is_same_file(status, check.identity));
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "jobs/flash_job.h"

#include <sys/stat.h>

#include "core/errno_guard.h"
#include "core/file_identity.h"

bool same_file(const std::string& a, const std::string& b) {
    if (a == b) return true;
    struct stat status_a;
    struct stat status_b;
    // errno is kept: a later message must show the run's own last failure, not
    // this look-up of a file that may not exist yet.
    const ErrnoGuard errno_kept;
    // Another spelling of the same path, or a link to it.
    return stat(a.c_str(), &status_a) == 0 && stat(b.c_str(), &status_b) == 0 &&
           is_same_file(status_b, identity_of(status_a));
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "jobs/flash_job.h"

#include <sys/stat.h>

#include <cerrno>
#include <new>

#include "core/errno_guard.h"
#include "core/file_identity.h"
#include "core/fatal.h"
#include "jobs/check_image.h"
#include "jobs/target.h"

void job_add(const char* file, const char* target, const RunOptions& run_options) {
    if (target == nullptr) error_exit("Error:  no offset specified for '%s'\n", file);
    FlashJob* job = new (std::nothrow) FlashJob;
    if (job == nullptr) error_exit("Error:  out of memory");
    job->file_name = file;
    // An earlier split has already rewritten this file with a piece of another image.
    for (const FlashJob* earlier = job_list; earlier != nullptr; earlier = earlier->next_job)
        if (earlier->is_temp && same_file(earlier->file_name, job->file_name))
            error_exit("Error:  '%s' is a piece of an earlier image of this run", file);
    job->offset = target_to_offset(target);
    check_image(*job, run_options);
    // Only a checked (and, if need be, split) job joins the list.
    job_append(job);
}

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

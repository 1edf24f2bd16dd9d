// SPDX-License-Identifier: GPL-2.0-or-later
#include "jobs/job_list.h"

#include <utility>

#include "core/fatal.h"
#include "jobs/image_jobs.h"
#include "jobs/target.h"

void job_add(JobList& jobs, const char* file, const char* target, const RunOptions& run_options) {
    if (target == nullptr) refuse_exit("Error:  no offset specified for '%s'\n", file);
    // An earlier split has already rewritten this file with a piece of another image.
    for (const FlashJob& earlier : jobs)
        if (is_piece(earlier) && same_file(earlier.file_name, file))
            refuse_exit("Error:  '%s' is a piece of an earlier image of this run", file);
    const int64_t offset = target_to_offset(target);
    // Only a checked (and, if need be, split) image joins the list.
    for (FlashJob& job : jobs_for_image(file, offset, jobs, run_options)) jobs.push_back(std::move(job));
}

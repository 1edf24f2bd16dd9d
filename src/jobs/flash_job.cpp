#include "jobs/flash_job.h"

#include <new>

#include "cli/fatal.h"
#include "jobs/target.h"

void job_add(const char* file, const char* target, RunOptions& run_options) {
    if (target == nullptr) error_exit("Error:  no offset specified for '%s'\n", file);
    FlashJob* job = new (std::nothrow) FlashJob;
    if (job == nullptr) error_exit("Error:  out of memory");
    job->file_name = file;
    job->offset = target_to_offset(target);
    check_image(*job, run_options);
    // Only a checked (and, if need be, split) job joins the list.
    job_append(job);
}

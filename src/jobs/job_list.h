// SPDX-License-Identifier: GPL-2.0-or-later
// Building the run's job list from the command line's file/target pairs.
//
// main owns the JobList and hands every pair to job_add, in command-line
// order. job_add resolves the target to a flash offset (target.h), refuses a
// file that an earlier split of this run has already rewritten with a piece,
// and has the image checked and, if one transfer cannot carry it, split
// (image_jobs.h); only then does the image, or its two pieces, join the list.
// Any refusal ends the run.
#pragma once

#include "jobs/flash_job.h"

struct RunOptions;

// Appends the jobs that flash file at target; target is nullptr when file is
// the last word of the command line.
void job_add(JobList& jobs, const char* file, const char* target, const RunOptions& run_options);

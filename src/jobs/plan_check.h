// SPDX-License-Identifier: GPL-2.0-or-later
// The whole plan of a run, judged once every job (and every piece of a split)
// is known and before the port is opened.
//
// The monitor's flash command erases and programs whole 0x20000-byte blocks,
// so a job really writes its range rounded out to whole blocks. A plan passes
// only when each job writes exactly what it names and nothing of another job:
// no two rounded ranges share a byte (the later job would silently replace
// part of the earlier one), every offset is a block start (the bytes before
// it in its block would be lost), every range ends within the flash, and no
// image is empty (the monitor has nothing to program). The rules are applied
// one after the other over the whole list, in that order; within a rule the
// first job (or pair) in command-line order is reported.
#pragma once

#include <cstdint>

#include "jobs/flash_job.h"

enum class PlanProblem {
    none,
    overlap,          // first and second share the bytes from..to
    not_block_start,  // first's offset is inside a block
    past_flash_end,   // first's rounded range ends past FLASH_SIZE
    empty_image,      // first holds no byte
};

struct PlanVerdict {
    PlanProblem problem = PlanProblem::none;
    const FlashJob* first = nullptr;
    const FlashJob* second = nullptr;  // overlap: the later job
    int64_t from = 0;                  // overlap: first shared byte
    int64_t to = 0;                    // overlap: last shared byte, inclusive
};

// The first problem of the plan; first and second point into jobs.
PlanVerdict plan_verdict(const JobList& jobs);
// Ends the run when the plan has a problem.
void check_plan(const JobList& jobs);

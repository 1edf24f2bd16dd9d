// SPDX-License-Identifier: GPL-2.0-or-later
// Refuses every job whose rounded range touches the monitor's own flash area.
//
// The guard sees each job as it stands after all splits, with its size rounded
// up to whole flash blocks. It probes the range every 64 KiB from its offset;
// a probe inside the area refuses the job with the rounded size in the
// message. A range that ends inside the area's first 64 KiB without a probe in
// it is caught by a last test on its final byte, which also judges empty files
// (rounded size 0) by offset - 1.
#pragma once

#include <cstdint>

#include "jobs/flash_job.h"

enum class PmonVerdict {
    clear,      // the job stays out of the monitor's area
    probe_hit,  // a probe landed inside the area
    end_hit,    // only the range's last byte lies inside the area
};

PmonVerdict pmon_verdict(int64_t offset, int64_t size);
// The first job of jobs that touches the area ends the run.
void check_pmon_overwrite(const JobList& jobs);

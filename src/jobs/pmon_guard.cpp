// SPDX-License-Identifier: GPL-2.0-or-later
#include "jobs/pmon_guard.h"

#include "core/fatal.h"
#include "jobs/flash_limits.h"

namespace {

bool in_pmon_area(int64_t position) {
    return position >= PMON_AREA_START && position <= PMON_AREA_START + PMON_AREA_SIZE - 1;
}

}  // namespace

PmonVerdict pmon_verdict(int64_t offset, int64_t size) {
    const int64_t rounded = flash_round_up(size);
    for (int64_t probe = offset; probe < offset + rounded; probe += PMON_PROBE_STEP)
        if (in_pmon_area(probe)) return PmonVerdict::probe_hit;
    return in_pmon_area(offset + rounded - 1) ? PmonVerdict::end_hit : PmonVerdict::clear;
}

void check_pmon_overwrite(const JobList& jobs) {
    for (const FlashJob& job : jobs) {
        const char* name = job.file_name.c_str();
        switch (pmon_verdict(job.offset, job.checked.size)) {
            case PmonVerdict::clear:
                break;
            case PmonVerdict::probe_hit:
                refuse_exit("Warning:  PMON overwrite detected by '%s'.  Aborting. (0x%lx)\n", name,
                            flash_round_up(job.checked.size));
            case PmonVerdict::end_hit:
                refuse_exit("Warning:  PMON overwrite detected by '%s'.  Aborting.\n", name);
        }
    }
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "jobs/plan_check.h"

#include <algorithm>

#include "core/fatal.h"
#include "jobs/flash_limits.h"

namespace {

// The bytes a job's flash command erases and programs: [start, end).
struct BlockRange {
    int64_t start = 0;
    int64_t end = 0;
};

// An empty image writes nothing; any other is rounded out to whole blocks.
BlockRange written_range(const FlashJob& job) {
    const int64_t size = job.checked.size;
    if (size <= 0) return {job.offset, job.offset};
    return {job.offset - job.offset % FLASH_BLOCK, flash_round_up(job.offset + size)};
}

PlanVerdict first_overlap(const JobList& jobs) {
    for (auto earlier = jobs.begin(); earlier != jobs.end(); ++earlier) {
        const BlockRange a = written_range(*earlier);
        for (auto later = earlier + 1; later != jobs.end(); ++later) {
            const BlockRange b = written_range(*later);
            const int64_t from = std::max(a.start, b.start);
            const int64_t end = std::min(a.end, b.end);
            if (from < end) return {PlanProblem::overlap, &*earlier, &*later, from, end - 1};
        }
    }
    return {};
}

bool inside_block(const FlashJob& job) { return job.offset % FLASH_BLOCK != 0; }

bool past_flash_end(const FlashJob& job) {
    return job.offset >= FLASH_SIZE || written_range(job).end > FLASH_SIZE;
}

bool empty_image(const FlashJob& job) { return job.checked.size == 0; }

// The first job that breaks rule, reported as problem.
template <typename Rule>
PlanVerdict first_job(const JobList& jobs, PlanProblem problem, Rule rule) {
    for (const FlashJob& job : jobs)
        if (rule(job)) return {problem, &job};
    return {};
}

}  // namespace

PlanVerdict plan_verdict(const JobList& jobs) {
    PlanVerdict verdict = first_overlap(jobs);
    if (verdict.problem == PlanProblem::none) verdict = first_job(jobs, PlanProblem::not_block_start, inside_block);
    if (verdict.problem == PlanProblem::none) verdict = first_job(jobs, PlanProblem::past_flash_end, past_flash_end);
    if (verdict.problem == PlanProblem::none) verdict = first_job(jobs, PlanProblem::empty_image, empty_image);
    return verdict;
}

void check_plan(const JobList& jobs) {
    const PlanVerdict verdict = plan_verdict(jobs);
    if (verdict.problem == PlanProblem::none) return;
    const char* name = verdict.first->file_name.c_str();
    const long offset = static_cast<long>(verdict.first->offset);
    switch (verdict.problem) {
        case PlanProblem::overlap:
            refuse_exit("Error:  '%s' and '%s' overlap in the flash (0x%lx..0x%lx).  Aborting.", name,
                        verdict.second->file_name.c_str(), static_cast<long>(verdict.from),
                        static_cast<long>(verdict.to));
        case PlanProblem::not_block_start:
            refuse_exit("Error:  offset 0x%lx of '%s' is not at the start of a flash block (0x%lx bytes).  Aborting.",
                        offset, name, static_cast<long>(FLASH_BLOCK));
        case PlanProblem::past_flash_end:
            refuse_exit("Error:  '%s' at 0x%lx reaches past the end of the flash (0x%lx).  Aborting.", name, offset,
                        static_cast<long>(FLASH_SIZE));
        case PlanProblem::empty_image:
            refuse_exit("Error:  '%s' is empty; there is nothing to flash.  Aborting.", name);
        case PlanProblem::none:
            break;
    }
}

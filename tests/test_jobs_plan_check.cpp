// SPDX-License-Identifier: GPL-2.0-or-later
#include "jobs/plan_check.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "jobs/flash_job.h"

namespace {

struct PlannedJob {
    const char* name;
    int64_t offset;
    int64_t size;
};

struct PlanCase {
    const char* what;
    std::vector<PlannedJob> jobs;
    PlanProblem problem;
    const char* first = "";   // the job reported
    const char* second = "";  // overlap: the later job
    int64_t from = 0;
    int64_t to = 0;
};

constexpr int64_t MIB = 0x100000;

const PlanCase PLAN_CASES[] = {
    {"a kernel and a root filesystem", {{"k", 0, MIB}, {"r", 0x200000, 0x400000}}, PlanProblem::none},
    {"a 64 KiB image inside a 1 MiB kernel", {{"k", 0, MIB}, {"s", 0x80000, 0x10000}}, PlanProblem::overlap, "k", "s",
     0x80000, 0x9FFFF},
    {"adjacent jobs", {{"k", 0, MIB}, {"s", MIB, 0x10000}}, PlanProblem::none},
    {"a short last block still fills its block", {{"k", 0, 0x20001}, {"s", 0x20000, 1}}, PlanProblem::overlap, "k",
     "s", 0x20000, 0x3FFFF},
    {"the later job first in the flash", {{"s", 0x40000, 0x20000}, {"k", 0, 0x40001}}, PlanProblem::overlap, "s", "k",
     0x40000, 0x5FFFF},
    {"the first pair in command-line order",
     {{"a", 0, 0x20000}, {"b", 0x100000, 0x20000}, {"c", 0x100000, 1}, {"d", 0, 1}}, PlanProblem::overlap, "a", "d", 0,
     0x1FFFF},
    {"the same image twice", {{"r", 0x200000, 0x400000}, {"r", 0x200000, 0x400000}}, PlanProblem::overlap, "r", "r",
     0x200000, 0x5FFFFF},
    {"the two pieces of a split image", {{"/tmp/r.1", 0x200000, 0x500000}, {"/tmp/r.2", 0x700000, 0x100000}},
     PlanProblem::none},
    {"target c, read as 0xc", {{"k", 0xC, MIB}}, PlanProblem::not_block_start, "k"},
    {"2097152 meant in decimal", {{"r", 0x2097152, 0x1000}}, PlanProblem::not_block_start, "r"},
    {"an offset inside a block even with nothing else", {{"r", 0x210000, 0x10000}}, PlanProblem::not_block_start, "r"},
    {"overlap is reported before the offset", {{"a", 0x10, 1}, {"b", 0, 1}}, PlanProblem::overlap, "a", "b", 0,
     0x1FFFF},
    {"the last block of the flash", {{"e", 0xFE0000, 0x20000}}, PlanProblem::none},
    {"a short image in the last block", {{"e", 0xFE0000, 1}}, PlanProblem::none},
    {"one byte past the flash", {{"e", 0xFE0000, 0x20001}}, PlanProblem::past_flash_end, "e"},
    {"a block start beyond the flash", {{"e", 0x2000000, 1}}, PlanProblem::past_flash_end, "e"},
    {"an empty image at the flash's end", {{"e", 0x1000000, 0}}, PlanProblem::past_flash_end, "e"},
    {"the offset is reported before the end", {{"e", 0x1000001, 1}}, PlanProblem::not_block_start, "e"},
    {"a one-byte image", {{"one", 0x100000, 1}}, PlanProblem::none},
    {"an empty image", {{"k", 0, MIB}, {"empty", 0x200000, 0}}, PlanProblem::empty_image, "empty"},
    {"an empty image overlaps nothing", {{"empty", 0, 0}, {"k", 0, MIB}}, PlanProblem::empty_image, "empty"},
};

// The case's jobs, in order.
JobList job_list_of(const std::vector<PlannedJob>& planned) {
    JobList jobs(planned.size());
    for (size_t i = 0; i < planned.size(); ++i) {
        jobs[i].file_name = planned[i].name;
        jobs[i].offset = planned[i].offset;
        jobs[i].checked.size = planned[i].size;
    }
    return jobs;
}

TEST(PlanVerdict, JudgesTheWholePlan) {
    for (const PlanCase& c : PLAN_CASES) {
        SCOPED_TRACE(c.what);
        const JobList jobs = job_list_of(c.jobs);
        const PlanVerdict verdict = plan_verdict(jobs);
        ASSERT_EQ(verdict.problem, c.problem);
        if (c.problem == PlanProblem::none) continue;
        EXPECT_EQ(verdict.first->file_name, c.first);
        if (c.problem != PlanProblem::overlap) continue;
        EXPECT_EQ(verdict.second->file_name, c.second);
        EXPECT_EQ(verdict.from, c.from);
        EXPECT_EQ(verdict.to, c.to);
    }
}

struct MessageCase {
    std::vector<PlannedJob> jobs;
    const char* message;
};

const MessageCase MESSAGE_CASES[] = {
    {{{"k.img", 0, MIB}, {"s.img", 0x80000, 0x10000}},
     "\nError:  'k.img' and 's.img' overlap in the flash (0x80000..0x9ffff).  Aborting.\n\n"},
    {{{"k.img", 0xC, MIB}},
     "\nError:  offset 0xc of 'k.img' is not at the start of a flash block (0x20000 bytes).  Aborting.\n\n"},
    {{{"r.img", 0xFE0000, 0x20001}},
     "\nError:  'r.img' at 0xfe0000 reaches past the end of the flash (0x1000000).  Aborting.\n\n"},
    {{{"e.img", 0x200000, 0}}, "\nError:  'e.img' is empty; there is nothing to flash.  Aborting.\n\n"},
};

TEST(CheckPlanDeathTest, EndsTheRunWithTheProblemsMessage) {
    for (const MessageCase& c : MESSAGE_CASES) {
        const JobList jobs = job_list_of(c.jobs);
        EXPECT_EXIT(check_plan(jobs), testing::ExitedWithCode(1), testing::StrEq(c.message));
    }
}

}  // namespace

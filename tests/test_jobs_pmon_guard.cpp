// SPDX-License-Identifier: GPL-2.0-or-later
#include "jobs/pmon_guard.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>

#include "jobs/flash_job.h"

namespace {

struct GuardCase {
    int64_t offset;
    int64_t size;
    PmonVerdict verdict;
};

const GuardCase GUARD_CASES[] = {
    {0x200000, 0x400000, PmonVerdict::clear},  // a typical root filesystem
    {0xC00000, 1, PmonVerdict::probe_hit},     // any "pmon" job with content
    {0xC00000, 0x80000, PmonVerdict::probe_hit},
    {0x700000, 0x500001, PmonVerdict::probe_hit},  // second piece of a 0xA00001 image
    {0x700000, 0x500000, PmonVerdict::clear},      // ... of a 0xA00000 image: ends at 0xC00000
    {0xB80000, 0x80000, PmonVerdict::clear},       // ends exactly where the area begins
    {0xB80001, 0x80000, PmonVerdict::end_hit},     // probes stop at 0xBF0001, last byte 0xC00000
    {0xBE0001, 0x20000, PmonVerdict::end_hit},     // last probe 0xBF0001, last byte 0xC00000
    {0xBFFFFF, 1, PmonVerdict::probe_hit},         // the second probe, 0xC0FFFF, lands inside
    {0xC7FFFF, 1, PmonVerdict::probe_hit},
    {0xC80000, 1, PmonVerdict::clear},
    {0xD00000, 0x100000, PmonVerdict::clear},
    {0, 0xE00000, PmonVerdict::probe_hit},  // a range that spans the whole area
    {0xC00000, 0, PmonVerdict::clear},      // empty: only offset - 1 is judged
    {0xC80000, 0, PmonVerdict::end_hit},
    {0xC00001, 0, PmonVerdict::end_hit},
    {0x80000000, 0x100000, PmonVerdict::clear},  // far above the area
};

TEST(PmonVerdict, JudgesTheRoundedRange) {
    for (const GuardCase& c : GUARD_CASES)
        EXPECT_EQ(pmon_verdict(c.offset, c.size), c.verdict)
            << std::hex << "offset 0x" << c.offset << " size 0x" << c.size;
}

class CheckPmonOverwriteDeathTest : public testing::Test {
protected:
    // A clear first job, then the one judged.
    static void run_guard_with(int64_t offset, int64_t size) {
        JobList jobs(2);
        jobs[0] = {"a.img", 0x200000, {}};
        jobs[0].checked.size = 0x400000;
        jobs[1] = {"b.img", offset, {}};
        jobs[1].checked.size = size;
        check_pmon_overwrite(jobs);
    }
};

TEST_F(CheckPmonOverwriteDeathTest, NamesTheJobAndItsRoundedSizeForAProbeHit) {
    EXPECT_EXIT(run_guard_with(0xC00000, 0x10001), testing::ExitedWithCode(1),
                testing::HasSubstr("\nWarning:  PMON overwrite detected by 'b.img'.  Aborting. (0x20000)\n"));
}

TEST_F(CheckPmonOverwriteDeathTest, NamesOnlyTheJobWhenItsLastByteHits) {
    EXPECT_EXIT(run_guard_with(0xB80001, 0x80000), testing::ExitedWithCode(1),
                testing::HasSubstr("\nWarning:  PMON overwrite detected by 'b.img'.  Aborting.\n"));
}

TEST_F(CheckPmonOverwriteDeathTest, ReturnsWhenEveryJobIsClear) {
    run_guard_with(0xC80000, 0x100000);
    SUCCEED();
}

}  // namespace

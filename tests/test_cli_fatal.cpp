#include "cli/fatal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "jobs/flash_job.h"
#include "support/run_binary.h"

namespace {

using testing::ExitedWithCode;

// The whole of standard error must match, so the matcher anchors both ends.
testing::Matcher<const std::string&> stderr_is(const std::string& text) { return testing::Eq(text); }

TEST(ErrorExitDeathTest, PrintsTheMessageBetweenBlankLinesWhenErrnoIsZero) {
    EXPECT_EXIT(
        {
            errno = 0;
            error_exit("Error:  romdisk '%s' is larger than 0x%lx bytes.  Aborting.", "rd", 0xB00000L);
        },
        ExitedWithCode(1), stderr_is("\nError:  romdisk 'rd' is larger than 0xb00000 bytes.  Aborting.\n\n"));
}

TEST(ErrorExitDeathTest, AppendsTheTextOfTheLastFailure) {
    EXPECT_EXIT(
        {
            errno = ENOENT;
            error_exit("Error: Unable to open port '%s'", "/dev/ttyS1");
        },
        ExitedWithCode(1),
        stderr_is("\nError: Unable to open port '/dev/ttyS1' - No such file or directory\n\n"));
}

TEST(ErrorExitDeathTest, PutsTheErrnoTextOnItsOwnLineAfterAMessageEndingInALineEnd) {
    EXPECT_EXIT(
        {
            errno = ENOENT;
            error_exit("Error:  no offset specified for '%s'\n", "rd");
        },
        ExitedWithCode(1), stderr_is("\nError:  no offset specified for 'rd'\n - No such file or directory\n\n"));
    EXPECT_EXIT(
        {
            errno = 0;
            error_exit("Error:  no offset specified for '%s'\n", "rd");
        },
        ExitedWithCode(1), stderr_is("\nError:  no offset specified for 'rd'\n\n\n"));
}

TEST(ErrorExitDeathTest, CutsTheMessageAfter127Characters) {
    const std::string long_name(200, 'n');
    const std::string message = ("Error: unable to stat " + long_name).substr(0, 127);
    EXPECT_EXIT(
        {
            errno = 0;
            error_exit("Error: unable to stat %s", long_name.c_str());
        },
        ExitedWithCode(1), stderr_is("\n" + message + "\n\n"));
}

class CleanupDeathTest : public testing::Test {
protected:
    testkit::TempDir dir;
    FlashJob image{dir.file("image"), 0, 1, 0, nullptr};
    FlashJob piece1{dir.file("rd.1"), 0x200000, 1, 1, nullptr};
    FlashJob piece2{dir.file("rd.2"), 0x700000, 1, 1, nullptr};
    void SetUp() override {
        for (const FlashJob* job : {&image, &piece1, &piece2}) testkit::write_file(job->file_name, "x");
    }
    // The list the cleanup walks: image, piece1, piece2.
    void link_jobs() {
        image.next_job = &piece1;
        piece1.next_job = &piece2;
        job_list = &image;
    }
    bool removed(const FlashJob& job) const { return access(job.file_name.c_str(), F_OK) != 0; }
};

TEST_F(CleanupDeathTest, RemovesTemporaryPiecesInListOrderAndNothingElse) {
    const std::string lines = "Cleanup removing " + piece1.file_name + " ...done\nCleanup removing " +
                              piece2.file_name + " ...done\n";
    EXPECT_EXIT(
        {
            link_jobs();
            cleanup_and_exit(0);
        },
        ExitedWithCode(0), stderr_is(lines));
    // The child removed the files of the shared directory.
    EXPECT_FALSE(removed(image));
    EXPECT_TRUE(removed(piece1));
    EXPECT_TRUE(removed(piece2));
}

TEST_F(CleanupDeathTest, ReportsAPieceAlreadyGoneAsRemovedAndKeepsTheStatus) {
    unlink(piece1.file_name.c_str());
    EXPECT_EXIT(
        {
            link_jobs();
            errno = 0;
            error_exit("Error:  out of memory");
        },
        ExitedWithCode(1),
        stderr_is("\nError:  out of memory\n\nCleanup removing " + piece1.file_name +
                  " ...done\nCleanup removing " + piece2.file_name + " ...done\n"));
    EXPECT_TRUE(removed(piece2));
}

TEST(CleanupDeathTestNoPieces, PrintsNothingAndExitsWithTheStatus) {
    EXPECT_EXIT(cleanup_and_exit(0), ExitedWithCode(0), stderr_is(""));
}

}  // namespace

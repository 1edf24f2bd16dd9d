#include "jobs/piece_cleanup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/fatal.h"
#include "jobs/flash_job.h"
#include "support/run_binary.h"

namespace {

using testing::ExitedWithCode;

// The whole of standard error must match, so the matcher anchors both ends.
testing::Matcher<const std::string&> stderr_is(const std::string& text) { return testing::Eq(text); }

class CleanupDeathTest : public testing::Test {
protected:
    testkit::TempDir dir;
    FlashJob image{dir.file("image"), 0, 1, false, nullptr};
    FlashJob piece1{dir.file("rd.1"), 0x200000, 1, true, nullptr};
    FlashJob piece2{dir.file("rd.2"), 0x700000, 1, true, nullptr};
    void SetUp() override {
        register_piece_cleanup();
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
    register_piece_cleanup();
    EXPECT_EXIT(cleanup_and_exit(0), ExitedWithCode(0), stderr_is(""));
}

}  // namespace

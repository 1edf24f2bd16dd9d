// SPDX-License-Identifier: GPL-2.0-or-later
#include "jobs/piece_cleanup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/fatal.h"
#include "support/run_binary.h"

namespace {

using testing::ExitedWithCode;

// The whole of standard error must match, so the matcher anchors both ends.
testing::Matcher<const std::string&> stderr_is(const std::string& text) { return testing::Eq(text); }

std::string removing(const std::string& piece) { return "Cleanup removing " + piece + " ...done\n"; }

// Three files in a directory the death tests' children share with the test:
// two pieces the run made and an image it did not.
class CleanupDeathTest : public testing::Test {
protected:
    testkit::TempDir dir;
    std::string image = dir.file("image");
    std::string piece1 = dir.file("rd.1");
    std::string piece2 = dir.file("rd.2");
    void SetUp() override {
        register_piece_cleanup();
        for (const std::string* file : {&image, &piece1, &piece2}) testkit::write_file(*file, "x");
    }
    // Records both pieces as made by this run (inside the child).
    void record_pieces() {
        for (const std::string* piece : {&piece1, &piece2}) {
            struct stat status;
            ASSERT_EQ(lstat(piece->c_str(), &status), 0);
            record_run_piece(*piece, identity_of(status), -1);
        }
    }
    static bool exists(const std::string& file) { return access(file.c_str(), F_OK) == 0; }
};

TEST_F(CleanupDeathTest, RemovesThePiecesInTheOrderTheyWereMadeAndNothingElse) {
    EXPECT_EXIT(
        {
            record_pieces();
            cleanup_and_exit(0);
        },
        ExitedWithCode(0), stderr_is(removing(piece1) + removing(piece2)));
    EXPECT_TRUE(exists(image));
    EXPECT_FALSE(exists(piece1));
    EXPECT_FALSE(exists(piece2));
}

TEST_F(CleanupDeathTest, ReportsAPieceAlreadyGoneAsRemovedAndKeepsTheStatus) {
    EXPECT_EXIT(
        {
            record_pieces();
            unlink(piece1.c_str());
            errno = 0;
            error_exit("Error:  out of memory");
        },
        ExitedWithCode(1), stderr_is("\nError:  out of memory\n\n" + removing(piece1) + removing(piece2)));
    EXPECT_FALSE(exists(piece2));
}

// Another file put at a piece's name is someone else's: its line is printed,
// the file stays.
TEST_F(CleanupDeathTest, LeavesAFileThatReplacedAPieceAlone) {
    EXPECT_EXIT(
        {
            record_pieces();
            testkit::write_file(dir.file("other"), "someone else's");
            rename(dir.file("other").c_str(), piece1.c_str());
            cleanup_and_exit(0);
        },
        ExitedWithCode(0), stderr_is(removing(piece1) + removing(piece2)));
    EXPECT_EQ(testkit::read_file(piece1), "someone else's");
    EXPECT_FALSE(exists(piece2));
}

TEST(CleanupDeathTestNoPieces, PrintsNothingAndExitsWithTheStatus) {
    register_piece_cleanup();
    EXPECT_EXIT(cleanup_and_exit(0), ExitedWithCode(0), stderr_is(""));
}

}  // namespace

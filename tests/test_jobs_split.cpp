// SPDX-License-Identifier: GPL-2.0-or-later
#include "jobs/split.h"

#include <gmock/gmock.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "jobs/flash_job.h"
#include "jobs/flash_limits.h"
#include "support/run_binary.h"

namespace {

using testing::HasSubstr;

TEST(PieceNames, FollowTheDirectoryAndTheImagesBaseName) {
    const struct {
        const char* dir;
        const char* image;
        const char* first;
    } cases[] = {
        {"/tmp", "rd.gz", "/tmp/rd.gz.1"},
        {"/tmp/", "some/dir/rd.gz", "/tmp/rd.gz.1"},  // one trailing "/" goes
        {"/tmp//", "/abs/rd.gz", "/tmp//rd.gz.1"},    // only one
        {"/", "rd.gz", "/rd.gz.1"},                   // the root stays the root
        {"//", "rd.gz", "/rd.gz.1"},
        {"", "rd.gz", "/rd.gz.1"},  // refused earlier: an empty name has no status
    };
    for (const auto& c : cases) {
        std::string dir = c.dir;
        strip_trailing_slash(dir);
        EXPECT_EQ(piece_name(dir, base_name(c.image), 1), c.first) << c.dir << " " << c.image;
    }
}

int64_t file_size(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

// The image open as jobs_for_image leaves it for the split: its descriptor,
// and the job's check taken from it.
int open_for_split(FlashJob& job) {
    const int fd = open(job.file_name.c_str(), O_RDONLY);
    struct stat status {};
    EXPECT_EQ(fstat(fd, &status), 0);
    job.checked = file_check_of(status);
    return fd;
}

class SplitImage : public testing::TestWithParam<int64_t> {
protected:
    testkit::TempDir dir;
};

TEST_P(SplitImage, CutsTheImageIntoTwoPiecesThatHoldItByteForByte) {
    const int64_t size = GetParam();
    const std::string image_path = dir.file("rd.gz");
    testkit::write_pattern_file(image_path, size, 7);
    const std::string image = testkit::read_file(image_path);

    FlashJob job{image_path, 0x200000, {}};
    const int image_fd = open_for_split(job);
    std::string temp = dir.path() + "/";
    testing::internal::CaptureStderr();
    const SplitPieces pieces = split_image(job, temp, image_fd, {});
    close(image_fd);
    const std::string printed = testing::internal::GetCapturedStderr();

    const std::string first = dir.file("rd.gz.1");
    const std::string second = dir.file("rd.gz.2");
    EXPECT_EQ(temp, dir.path());
    char rest_size[32];
    snprintf(rest_size, sizeof rest_size, "0x%lx", static_cast<long>(size - SPLIT_SIZE));
    EXPECT_EQ(printed,
              "  " + first + " ...done (size = 0x500000)\n  " + second + " ...done (size = " + rest_size + ")\n\n");

    EXPECT_EQ(pieces.first.file_name, first);
    EXPECT_EQ(pieces.first.offset, 0x200000);
    EXPECT_EQ(pieces.first.checked.size, SPLIT_SIZE);
    EXPECT_TRUE(is_piece(pieces.first));
    const FlashJob& rest = pieces.second;
    EXPECT_EQ(rest.file_name, second);
    EXPECT_EQ(rest.offset, 0x700000);
    EXPECT_EQ(rest.checked.size, size - SPLIT_SIZE);
    EXPECT_TRUE(is_piece(rest));

    // Compare sizes first: a mismatch of megabytes of content would be unreadable.
    const std::string got_first = testkit::read_file(first);
    const std::string got_second = testkit::read_file(second);
    ASSERT_EQ(static_cast<int64_t>(got_first.size()), SPLIT_SIZE);
    ASSERT_EQ(static_cast<int64_t>(got_second.size()), size - SPLIT_SIZE);
    EXPECT_TRUE(got_first == image.substr(0, SPLIT_SIZE));
    EXPECT_TRUE(got_second == image.substr(SPLIT_SIZE));
}

// One byte over a transfer (the rest ends on a short read), a rest that is a
// whole number of copy blocks (it ends on a read of 0 bytes), and the largest
// image whose second piece still fits one transfer.
INSTANTIATE_TEST_SUITE_P(Sizes, SplitImage, testing::Values(0x670001, 0x500000 + 1024 * 0x180, 0xB70000),
                         [](const auto& info) {
                             char name[32];
                             snprintf(name, sizeof name, "size_0x%lx", static_cast<long>(info.param));
                             return std::string(name);
                         });

// Pieces left by an earlier run of ours of the same image give way to new ones.
TEST(SplitImageLeftovers, ReplacesPieceFilesThatAlreadyExist) {
    testkit::TempDir dir;
    testkit::write_pattern_file(dir.file("rd"), 0x670001, 3);
    const std::string image = testkit::read_file(dir.file("rd"));
    testkit::write_file(dir.file("rd.1"), image.substr(0, 0x500000));
    testkit::write_file(dir.file("rd.2"), image.substr(0x500000));

    FlashJob job{dir.file("rd"), 0x100000, {}};
    const int image_fd = open_for_split(job);
    std::string temp = dir.path();
    testing::internal::CaptureStderr();
    split_image(job, temp, image_fd, {});
    close(image_fd);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(file_size(dir.file("rd.1")), 0x500000);
    EXPECT_EQ(file_size(dir.file("rd.2")), 0x170001);
}

// Failures seen from outside: every run names a port that does not exist, so a
// run that gets past the checks ends there.
const std::string NO_PORT = "kelvane-no-such-port";
// With the hint line, which names the ports of the machine the test runs on.
const std::string PORT_ERROR_START =
    "Opening serial port...\nError: Unable to open port '/dev/kelvane-no-such-port' - No such file or directory\n"
    "Hint:  ";

std::string split_header() { return "\nRomdisk larger than 0x670000.  Splitting into:\n"; }

TEST(SplitRun, FlashesBothPiecesAndRemovesThemAtTheEnd) {
    testkit::TempDir dir;
    testkit::write_pattern_file(dir.file("rd.gz"), 0x670001);
    const testkit::RunResult r = run_kelvane({"-t", dir.path() + "/", "-s", NO_PORT, dir.file("rd.gz"), "romdisk"});
    const std::string p1 = dir.file("rd.gz.1");
    const std::string p2 = dir.file("rd.gz.2");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    const std::string before = split_header() + "  " + p1 + " ...done (size = 0x500000)\n  " + p2 +
                               " ...done (size = 0x170001)\n\n" + PORT_ERROR_START;
    const std::string after = "\n\nCleanup removing " + p1 + " ...done\nCleanup removing " + p2 + " ...done\n";
    EXPECT_TRUE(r.err.starts_with(before)) << r.err;
    EXPECT_TRUE(r.err.ends_with(after)) << r.err;
    // Between them, the hint: one line.
    EXPECT_EQ(r.err.substr(before.size(), r.err.size() - before.size() - after.size()).find('\n'), std::string::npos)
        << r.err;
    EXPECT_NE(access(p1.c_str(), F_OK), 0);
    EXPECT_NE(access(p2.c_str(), F_OK), 0);
}

TEST(SplitRun, RemovesThePiecesOfEveryImageInListOrder) {
    testkit::TempDir dir;
    testkit::write_pattern_file(dir.file("a"), 0x670001);
    testkit::write_pattern_file(dir.file("b"), 0x670001);
    const testkit::RunResult r =
        run_kelvane({"-D", "-t", dir.path(), "-s", NO_PORT, dir.file("a"), "romdisk", dir.file("b"), "0x880000"});
    EXPECT_EQ(r.exit_status, 1);
    const std::string cleanup = "Cleanup removing " + dir.file("a.1") + " ...done\nCleanup removing " +
                                dir.file("a.2") + " ...done\nCleanup removing " + dir.file("b.1") +
                                " ...done\nCleanup removing " + dir.file("b.2") + " ...done\n";
    EXPECT_THAT(r.err, testing::HasSubstr(PORT_ERROR_START));
    EXPECT_TRUE(r.err.ends_with("\n\n" + cleanup)) << r.err;
}

struct SplitFailure {
    const char* name;
    std::vector<std::string> switches;  // "DIR" stands for the test's directory
    int64_t image_size;
    std::string message;       // "DIR" likewise
    bool pieces_made = false;  // both pieces were made before the failure
};

std::string with_dir(std::string text, const std::string& dir) {
    for (size_t at; (at = text.find("DIR")) != std::string::npos;) text.replace(at, 3, dir);
    return text;
}

class SplitRunFailure : public testing::TestWithParam<SplitFailure> {};

TEST_P(SplitRunFailure, EndsTheRunBeforeThePortWithNoPieceLeft) {
    const SplitFailure& c = GetParam();
    testkit::TempDir dir;
    testkit::write_file(dir.file("file"), "not a directory");
    testkit::write_pattern_file(dir.file("rd"), c.image_size);
    std::vector<std::string> args;
    for (const std::string& s : c.switches) args.push_back(with_dir(s, dir.path()));
    args.insert(args.end(), {"-s", NO_PORT, dir.file("rd"), "romdisk"});
    const testkit::RunResult r = run_kelvane(args);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    // Appended, not "\n" + a temporary: GCC 12 at -O3 takes the temporary's
    // insert at the front for an overlapping copy (a false -Wrestrict).
    std::string message = "\n";
    message += with_dir(c.message, dir.path());
    EXPECT_THAT(r.err, HasSubstr(message));
    EXPECT_THAT(r.err, testing::Not(HasSubstr("Opening serial port")));
    // Pieces made before the failure are the run's own: the exit cleanup removes them.
    if (c.pieces_made) {
        EXPECT_TRUE(r.err.ends_with("\n\nCleanup removing " + dir.file("rd.1") + " ...done\nCleanup removing " +
                                    dir.file("rd.2") + " ...done\n"))
            << r.err;
    } else {
        EXPECT_THAT(r.err, testing::Not(HasSubstr("Cleanup")));
    }
    EXPECT_NE(access(dir.file("rd.1").c_str(), F_OK), 0);
    EXPECT_NE(access(dir.file("rd.2").c_str(), F_OK), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, SplitRunFailure,
    testing::Values(SplitFailure{"missing_dir",
                                 {"-t", "DIR/none"},
                                 0x670001,
                                 "Error: unable to stat 'DIR/none' - No such file or directory\n\n"},
                    SplitFailure{
                        "empty_dir", {"-t", ""}, 0x670001, "Error: unable to stat '' - No such file or directory\n\n"},
                    SplitFailure{"file_as_dir", {"-t", "DIR/file"}, 0x670001, "Error:  'DIR/file' is not a directory"},
                    // Both pieces are written, then the rest is found too big: they go again.
                    SplitFailure{"still_too_big",
                                 {"-C", "-t", "DIR"},
                                 0xB70001,
                                 "Error:  'DIR/rd.2' still too big for qz4 download.",
                                 true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SplitRunFailure, NeverWritesThroughASymlinkAtAPiecesName) {
    for (const char* piece : {"rd.1", "rd.2"}) {
        testkit::TempDir dir;
        testkit::write_pattern_file(dir.file("rd"), 0x670001);
        testkit::write_file(dir.file("target"), "keep me");
        ASSERT_EQ(symlink(dir.file("target").c_str(), dir.file(piece).c_str()), 0);
        const testkit::RunResult r = run_kelvane({"-t", dir.path(), "-s", NO_PORT, dir.file("rd"), "romdisk"});
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_THAT(r.err, HasSubstr("\nError:  Can't open '" + dir.file(piece) +
                                     "' for writing - Too many levels of symbolic links\n\n"));
        EXPECT_THAT(r.err, testing::Not(HasSubstr("Opening serial port")));
        EXPECT_EQ(testkit::read_file(dir.file("target")), "keep me");
        // A first piece made before the second failed is removed; the link stays.
        if (std::string(piece) == "rd.2") {
            EXPECT_NE(access(dir.file("rd.1").c_str(), F_OK), 0);
        }
        struct stat status;
        EXPECT_EQ(lstat(dir.file(piece).c_str(), &status), 0);
    }
}

TEST(SplitRunFailure, RefusesASecondImageWhosePiecesWouldOverwriteTheFirstOnes) {
    testkit::TempDir dir;
    ASSERT_EQ(mkdir(dir.file("a").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("b").c_str(), 0755), 0);
    testkit::write_pattern_file(dir.file("a/rd.gz"), 0x670001, 1);
    testkit::write_pattern_file(dir.file("b/rd.gz"), 0x670001, 2);
    const testkit::RunResult r = run_kelvane(
        {"-D", "-t", dir.path(), "-s", NO_PORT, dir.file("a/rd.gz"), "romdisk", dir.file("b/rd.gz"), "0x100000"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_THAT(r.err, HasSubstr("\nError:  '" + dir.file("b/rd.gz") + "' would overwrite the piece '" +
                                 dir.file("rd.gz.1") + "' of an earlier image"));
    EXPECT_THAT(r.err, testing::Not(HasSubstr("Opening serial port")));
    EXPECT_TRUE(r.err.ends_with("Cleanup removing " + dir.file("rd.gz.1") + " ...done\nCleanup removing " +
                                dir.file("rd.gz.2") + " ...done\n"));
}

TEST(SplitRun, AcceptsTheRootDirectory) {
    if (access("/", W_OK) != 0) GTEST_SKIP() << "the root directory is not writable here";
    testkit::TempDir dir;
    const std::string image = dir.file(base_name(dir.path()) + ".img");
    testkit::write_pattern_file(image, 0x670001);
    std::string p1 = "/";  // appended, for the same reason as above
    p1 += base_name(image) + ".1";
    const testkit::RunResult r = run_kelvane({"-t", "/", "-s", NO_PORT, image, "romdisk"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_THAT(r.err, HasSubstr("\n  " + p1 + " ...done (size = 0x500000)\n"));
    EXPECT_THAT(r.err, HasSubstr("Cleanup removing " + p1 + " ...done\n"));
    EXPECT_NE(access(p1.c_str(), F_OK), 0);
}

}  // namespace

namespace {

// A split truncates whatever stands at its pieces' names; a file that another
// job of the run flashes must never be rewritten with a piece of a different image.
TEST(SplitRunFailure, RefusesPiecesThatWouldRewriteAnImageOfTheRun) {
    testkit::TempDir dir;
    ASSERT_EQ(mkdir(dir.file("x").c_str(), 0755), 0);
    testkit::write_pattern_file(dir.file("rd.gz.1"), 0x1000, 3);
    const std::string before = testkit::read_file(dir.file("rd.gz.1"));
    testkit::write_pattern_file(dir.file("x/rd.gz"), 0x670001, 4);
    const testkit::RunResult r = run_kelvane(
        {"-D", "-t", dir.path(), "-s", NO_PORT, dir.file("rd.gz.1"), "kernel", dir.file("x/rd.gz"), "romdisk"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_THAT(r.err, HasSubstr("\nError:  '" + dir.file("x/rd.gz") + "' would overwrite '" + dir.file("rd.gz.1") +
                                 "', an image of this run\n\n"));
    EXPECT_EQ(testkit::read_file(dir.file("rd.gz.1")), before);
}

TEST(SplitRunFailure, RefusesAnImageThatIsAPieceOfAnEarlierSplit) {
    testkit::TempDir dir;
    ASSERT_EQ(mkdir(dir.file("x").c_str(), 0755), 0);
    testkit::write_pattern_file(dir.file("x/rd.gz"), 0x670001, 5);
    const testkit::RunResult r = run_kelvane(
        {"-D", "-t", dir.path(), "-s", NO_PORT, dir.file("x/rd.gz"), "romdisk", dir.path() + "/./rd.gz.2", "kernel"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_THAT(r.err,
                HasSubstr("\nError:  '" + dir.path() + "/./rd.gz.2' is a piece of an earlier image of this run\n\n"));
    EXPECT_THAT(r.err, testing::Not(HasSubstr("Opening serial port")));
}

}  // namespace

// SPDX-License-Identifier: GPL-2.0-or-later
// What a run does with whatever stands at a piece's name before its split, seen
// through the real binary. Every run names a port that does not exist, so a
// run that gets past the split ends there, and its exit cleanup removes the
// pieces it made.
#include "jobs/piece_claim.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <ostream>
#include <string>

#include "support/run_binary.h"

namespace {

using testing::HasSubstr;
using testing::Not;

const std::string NO_PORT = "kelvane-no-such-port";

struct Found {
    dev_t device = 0;
    ino_t inode = 0;
    mode_t mode = 0;
    uid_t owner = 0;
};

Found look(const std::string& path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) return {};
    return {status.st_dev, status.st_ino, status.st_mode, status.st_uid};
}

// Something put at the first piece's name; a descriptor the test keeps open
// during the run, or -1.
using Plant = std::function<int(const std::string& piece)>;

struct AtPieceName {
    const char* name;
    Plant plant;
    std::string refusal;  // "PIECE" stands for the piece's name; empty: the split goes on
    bool needs_root = false;
};

// A failing case is named, not dumped byte by byte.
void PrintTo(const AtPieceName& c, std::ostream* os) { *os << c.name; }

int regular_file(const std::string& piece, mode_t mode, const std::string& bytes = "planted") {
    testkit::write_file(piece, bytes);
    chmod(piece.c_str(), mode);
    return -1;
}

// The image every case splits, beside its first piece's name.
std::string image_of(const std::string& piece) { return piece.substr(0, piece.size() - 2); }

// What a leftover of an interrupted run of this image holds: the first piece.
int leftover(const std::string& piece, mode_t mode) {
    return regular_file(piece, mode, testkit::read_file(image_of(piece)).substr(0, 0x500000));
}

const AtPieceName CASES[] = {
    // Anyone may write it, and root could write it anyway: only its owner decides.
    {"file_of_another_user",
     [](const std::string& piece) {
         regular_file(piece, 0666);
         const passwd* nobody = getpwnam("nobody");
         if (nobody == nullptr || chown(piece.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) ADD_FAILURE();
         return -1;
     },
     "Error:  'PIECE' belongs to another user.  Aborting.\n\n", true},
    // A live run holds its pieces locked; the test stands in for it.
    {"piece_of_a_live_run",
     [](const std::string& piece) {
         regular_file(piece, 0600);
         const int fd = open(piece.c_str(), O_RDONLY);
         if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) ADD_FAILURE();
         return fd;
     },
     "Error:  'PIECE' is in use by another run (use another -t).  Aborting.\n\n"},
    {"directory", [](const std::string& piece) { return mkdir(piece.c_str(), 0777) == 0 ? -1 : -2; },
     "Error:  Can't open 'PIECE' for writing - Is a directory\n\n"},
    {"fifo", [](const std::string& piece) { return mkfifo(piece.c_str(), 0666) == 0 ? -1 : -2; },
     "Error:  Can't open 'PIECE' for writing - File exists\n\n"},
    // Leftovers of an interrupted run of ours: removed and made anew, even read-only.
    {"leftover", [](const std::string& piece) { return leftover(piece, 0644); }, ""},
    {"read_only_leftover", [](const std::string& piece) { return leftover(piece, 0400); }, ""},
    // Any other file of ours is the user's own, however much it looks like a piece.
    {"users_own_file", [](const std::string& piece) { return regular_file(piece, 0644); },
     "Error:  'PIECE' exists and is not a piece of this image (remove it or use another -t).  Aborting.\n\n"},
    {"leftover_cut_short",
     [](const std::string& piece) {
         return regular_file(piece, 0644, testkit::read_file(image_of(piece)).substr(0, 0x4FFFFF));
     },
     "Error:  'PIECE' exists and is not a piece of this image (remove it or use another -t).  Aborting.\n\n"},
    {"leftover_of_another_image",
     [](const std::string& piece) {
         std::string bytes = testkit::read_file(image_of(piece)).substr(0, 0x500000);
         bytes[0x4FFFFF] ^= 1;
         return regular_file(piece, 0644, bytes);
     },
     "Error:  'PIECE' exists and is not a piece of this image (remove it or use another -t).  Aborting.\n\n"},
};

std::string with_piece(std::string text, const std::string& piece) {
    const size_t at = text.find("PIECE");
    return at == std::string::npos ? text : text.replace(at, 5, piece);
}

class PieceName : public testing::TestWithParam<AtPieceName> {
protected:
    testkit::TempDir dir;
};

TEST_P(PieceName, IsNeverWrittenThroughAndOnlyALeftoverOfOursIsReplaced) {
    const AtPieceName& c = GetParam();
    if (c.needs_root && geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
    const std::string piece = dir.file("rd.1");
    const std::string kept = dir.file("kept");  // a second name for what was planted
    testkit::write_pattern_file(dir.file("rd"), 0x670001);
    const int held_fd = c.plant(piece);
    ASSERT_NE(held_fd, -2);
    const Found planted = look(piece);
    const bool regular = S_ISREG(planted.mode);
    const std::string planted_bytes = regular ? testkit::read_file(piece) : "";
    if (regular) {
        ASSERT_EQ(link(piece.c_str(), kept.c_str()), 0);
    }

    const testkit::RunResult r = run_kelvane({"-t", dir.path(), "-s", NO_PORT, dir.file("rd"), "romdisk"});
    if (held_fd >= 0) close(held_fd);
    EXPECT_EQ(r.exit_status, 1);
    if (regular) {
        EXPECT_TRUE(testkit::read_file(kept) == planted_bytes) << "what was planted was written through";
    }

    if (!c.refusal.empty()) {
        EXPECT_EQ(r.err, "\nRomdisk larger than 0x670000.  Splitting into:\n\n" + with_piece(c.refusal, piece));
        const Found after = look(piece);
        EXPECT_EQ(after.inode, planted.inode);
        EXPECT_EQ(after.mode, planted.mode);
        EXPECT_EQ(after.owner, planted.owner);
        return;
    }
    // The split went on with a new first piece; both pieces went at the end.
    EXPECT_THAT(r.err, HasSubstr("\n  " + piece + " ...done (size = 0x500000)\n"));
    EXPECT_THAT(r.err, HasSubstr("Opening serial port..."));
    EXPECT_THAT(r.err, HasSubstr("Cleanup removing " + piece + " ...done\n"));
    EXPECT_NE(access(piece.c_str(), F_OK), 0);
    EXPECT_NE(access(dir.file("rd.2").c_str(), F_OK), 0);
}

INSTANTIATE_TEST_SUITE_P(WhatStandsThere, PieceName, testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// Another program's lock on the directory (another user's flock on /tmp, say)
// makes a run wait for its turn 10 s at most; then it ends without a piece.
TEST(ClaimPiece, WaitsForADirectoryLockedByAnotherProgramTenSecondsAtMost) {
    testkit::TempDir dir;
    testkit::write_pattern_file(dir.file("rd"), 0x670001);
    const int held = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const auto start = std::chrono::steady_clock::now();
    const testkit::RunResult r = run_kelvane({"-t", dir.path(), "-s", NO_PORT, dir.file("rd"), "romdisk"});
    const auto waited = std::chrono::steady_clock::now() - start;
    close(held);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "\nRomdisk larger than 0x670000.  Splitting into:\n\nError:  '" + dir.path() +
                         "' is locked by another program.  Aborting.\n\n");
    // Not a timing requirement: only that the wait was not cut short.
    EXPECT_GE(waited, DIRECTORY_TURN_WAIT);
    EXPECT_NE(access(dir.file("rd.1").c_str(), F_OK), 0);
}

// A piece is the run's alone, whatever the umask lets through.
TEST(ClaimPiece, MakesANewFileOfModeSixHundredAndHoldsItLocked) {
    testkit::TempDir dir;
    const mode_t old_mask = umask(0);
    const int fd = claim_piece(dir.path(), dir.file("rd.1"), {});
    umask(old_mask);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(look(dir.file("rd.1")).mode & 07777, 0600u);
    const int other = open(dir.file("rd.1").c_str(), O_RDONLY);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
}

}  // namespace

// SPDX-License-Identifier: GPL-2.0-or-later
#include "jobs/run_piece.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/run_binary.h"

namespace {

using testing::HasSubstr;

const std::string NO_PORT = "kelvane-no-such-port";
constexpr long long SIX_BLOCKS = 5 * 0x20000 + 0x8123;

TEST(RunPieceNames, AreTheImagesBaseNameAndTheFlashOffsetInHex) {
    EXPECT_EQ(run_piece_name("/tmp", "rd.gz", 0x400000), "/tmp/rd.gz.at400000");
    EXPECT_EQ(run_piece_name("/", "rd.gz", 0x2a0000), "/rd.gz.at2a0000");
}

// With -u, a name that a piece of a changed run could take (one for each
// block of the image) and that leads to a file of this run is refused before
// the port opens, whichever blocks would turn out changed: the file is left
// as it was, and nothing is written or removed.
TEST(RunPieceNames, ThatLeadToAFileOfThisRunAreRefusedBeforeThePortOpens) {
    struct Case {
        const char* what;
        std::vector<std::string> words;  // after -u -t <dir> -s <no port>; "@" is the directory
        const char* link_from;           // a link made in the directory before the run, or nullptr
        const char* link_to;
        bool symbolic;
        std::string message;  // "@" is the directory
    };
    const Case cases[] = {
        {"a copy of the image named as its piece at the first block",
         {"@/a.img", "0x400000", "@/a.img.at400000", "0x600000"},
         nullptr,
         nullptr,
         false,
         "\nError:  '@/a.img' would overwrite '@/a.img.at400000', an image of this run\n"},
        {"another image of the run, hard-linked at the image's last block",
         {"@/a.img", "0x400000", "@/b.img", "0x600000"},
         "a.img.at4a0000",
         "b.img",
         false,
         "\nError:  '@/a.img' would overwrite '@/b.img', an image of this run\n"},
        {"the image itself, hard-linked at its own second block",
         {"@/a.img", "0x400000"},
         "a.img.at420000",
         "a.img",
         false,
         "\nError:  '@/a.img' would overwrite '@/a.img', an image of this run\n"},
        {"a later image's piece of a split, linked at the first image's block",
         {"@/a.img", "0x100000", "@/big.img", "romdisk"},
         "a.img.at100000",
         "big.img.1",
         true,
         "\nError:  '@/a.img' would overwrite the piece '@/big.img.1' of an earlier image\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testkit::TempDir dir;
        const auto in_dir = [&](std::string text) {
            for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + 1))
                text.replace(at, 1, dir.path());
            return text;
        };
        testkit::write_pattern_file(dir.file("a.img"), SIX_BLOCKS, 1);
        testkit::write_pattern_file(dir.file("b.img"), SIX_BLOCKS, 2);
        testkit::write_pattern_file(dir.file("big.img"), 0x670001, 3);
        // The user's copy, an image of the run only where the words name it.
        testkit::write_file(dir.file("a.img.at400000"), testkit::read_file(dir.file("a.img")));
        if (c.link_from != nullptr) {
            const std::string from = dir.file(c.link_from);
            const std::string to = dir.file(c.link_to);
            ASSERT_EQ(c.symbolic ? symlink(to.c_str(), from.c_str()) : link(to.c_str(), from.c_str()), 0);
        }
        const std::string before = testkit::read_file(dir.file("a.img"));
        std::vector<std::string> args{"-u", "-t", dir.path(), "-s", NO_PORT};
        for (const std::string& word : c.words) args.push_back(in_dir(word));
        const testkit::RunResult r = run_kelvane(args, dir.path());
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_THAT(r.err, HasSubstr(in_dir(c.message))) << r.err;
        EXPECT_THAT(r.err, testing::Not(HasSubstr("Opening serial port")));
        EXPECT_THAT(r.err, testing::Not(HasSubstr("Cleanup removing " + dir.file("a.img"))));
        EXPECT_EQ(testkit::read_file(dir.file("a.img.at400000")), before);
        EXPECT_EQ(testkit::read_file(dir.file("a.img")), before);
    }
}

}  // namespace

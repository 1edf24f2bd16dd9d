// SPDX-License-Identifier: GPL-2.0-or-later
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "core/kept_texts.h"
#include "serial/capture.h"
#include "support/run_binary.h"

namespace {

bool file_exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

// Every case runs inside a fresh directory, since the log is "./capture.log".
class CaptureTest : public ::testing::Test {
protected:
    std::string log_path() const { return dir.file("capture.log"); }

    testkit::TempDir dir;
    testkit::ScopedChdir in_dir{dir.path()};
};

struct RecordCase {
    const char* name;
    std::string payload;
    std::string appended;  // what the log gains
};

std::string printable_run(size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += static_cast<char>('!' + i % 94);
    return text;
}

const RecordCase record_cases[] = {
    {"command_loses_its_cr", "load\r", "load\n"},
    {"tab_and_high_bytes_dropped_order_kept",
     std::string("a\tb\x80"
                 "c\xff"
                 "d"),
     "abcd\n"},
    {"nul_del_and_escape_dropped", std::string("\0x\x7f\x1b[A", 6), "x[A\n"},
    {"only_crs_leave_no_record", "\r\r\r", ""},
    {"lone_lf_is_a_record_of_its_own", "\n", "\n\n"},
    {"drained_prompts_keep_their_lfs", "\nPMON> \nPMON> ", "\nPMON> \nPMON> \n"},
    {"2000_bytes_keep_the_first_1024", printable_run(2000), printable_run(1024) + "\n"},
    {"exactly_1024_bytes", printable_run(1024), printable_run(1024) + "\n"},
    {"bytes_past_the_1024th_are_not_examined", std::string(1024, '\r') + "late", ""},
};

class CaptureRecordTest : public CaptureTest, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(CaptureRecordTest, AppendsTheReadableBytesAndOneNewline) {
    const RecordCase& c = GetParam();
    testkit::write_file(log_path(), "header\n");
    capture_write(c.payload.data(), static_cast<int>(c.payload.size()));
    EXPECT_EQ(testkit::read_file(log_path()), "header\n" + c.appended);
}

INSTANTIATE_TEST_SUITE_P(Filter, CaptureRecordTest, ::testing::ValuesIn(record_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CaptureTest, LengthZeroOrNegativeWritesNothing) {
    testkit::write_file(log_path(), "header\n");
    for (int length : {0, -1, INT_MIN}) capture_write("text", length);
    EXPECT_EQ(testkit::read_file(log_path()), "header\n");
}

TEST_F(CaptureTest, RecordNeverCreatesAMissingLog) {
    capture_write("PMON> ", 6);
    EXPECT_FALSE(file_exists(log_path()));
}

TEST_F(CaptureTest, BeginEmptiesTheLogAndWritesBannerEchoAndBlankLine) {
    const mode_t saved_umask = umask(0);
    capture_begin("banner", "\n ./kelvane -l");
    umask(saved_umask);
    struct stat info {};
    ASSERT_EQ(stat(log_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);

    testkit::write_file(log_path(), "an older run that must go\n");
    capture_begin("banner", "\n ./kelvane -l");
    EXPECT_EQ(testkit::read_file(log_path()), "banner\n ./kelvane -l\n\n");
}

TEST_F(CaptureTest, LogThatCannotBeCreatedWarnsAndLaterRecordsAreDropped) {
    // A directory in the log's place defeats the open even for root.
    ASSERT_EQ(mkdir(log_path().c_str(), 0755), 0);
    testing::internal::CaptureStderr();
    capture_begin("banner", "\n echo");
    capture_write("load\r", 5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Warning:  can't open ./capture.log for writing\n");
}

// Whatever stands at the log's name that is not a regular file of its own is
// a failed open: a link is not followed (its target keeps its bytes), a file
// with a second name (a transcript kept with ln) is not emptied, and a FIFO or
// a terminal is not written to, whether or not something reads it.
TEST_F(CaptureTest, AnythingButARegularFileAtTheNameIsAFailedOpen) {
    enum class Kind { symbolic_link, hard_link, fifo };
    struct Case {
        const char* name;
        Kind kind;
    };
    for (const Case& c : {Case{"symbolic link", Kind::symbolic_link}, Case{"hard link", Kind::hard_link},
                          Case{"fifo with a reader", Kind::fifo}}) {
        SCOPED_TRACE(c.name);
        const std::string target = dir.file("notes");
        testkit::write_file(target, "keep me\n");
        int reader = -1;
        if (c.kind == Kind::symbolic_link) {
            ASSERT_EQ(symlink(target.c_str(), log_path().c_str()), 0);
        } else if (c.kind == Kind::hard_link) {
            ASSERT_EQ(link(target.c_str(), log_path().c_str()), 0);
        } else {
            ASSERT_EQ(mkfifo(log_path().c_str(), 0600), 0);
            reader = open(log_path().c_str(), O_RDONLY | O_NONBLOCK);
            ASSERT_GE(reader, 0);
        }
        testing::internal::CaptureStderr();
        capture_begin("banner", "\n echo");
        capture_write("load\r", 5);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Warning:  can't open ./capture.log for writing\n");
        EXPECT_EQ(testkit::read_file(target), "keep me\n");
        if (reader >= 0) {
            char byte;
            EXPECT_LE(read(reader, &byte, 1), 0) << "the FIFO was written";
            close(reader);
        }
        unlink(log_path().c_str());
    }
}

// -l is handled by main at the moment it is read; the header holds the whole command line.
TEST_F(CaptureTest, SwitchGivenTwiceLeavesOneHeader) {
    const testkit::RunResult run = run_kelvane({"-l", "-l"}, dir.path());
    EXPECT_EQ(run.exit_status, 1);  // too few words: the help text follows
    EXPECT_EQ(testkit::read_file(log_path()), std::string(VERSION_BANNER) + "\n " KELVANE_BINARY " -l -l\n\n");
    EXPECT_EQ(run.out, "");
}

TEST_F(CaptureTest, SwitchWithUncreatableLogWarnsOnceAndRunGoesOn) {
    ASSERT_EQ(mkdir(log_path().c_str(), 0755), 0);
    const testkit::RunResult run = run_kelvane({"-l"}, dir.path());
    const std::string warning = "Warning:  can't open ./capture.log for writing\n";
    ASSERT_EQ(run.err.rfind(warning, 0), 0u) << run.err;
    EXPECT_EQ(run.err.find(warning, 1), std::string::npos);
    EXPECT_NE(run.err.find("Usage:"), std::string::npos);  // the run went on to the help text
}

}  // namespace

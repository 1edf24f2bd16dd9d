// SPDX-License-Identifier: GPL-2.0-or-later
// What the other test trees rely on from testkit: exit statuses as they
// report them, streams where they were sent, no child left behind, and line
// reads that take nothing past what was asked for.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testkit/fd.h"
#include "testkit/files.h"
#include "testkit/process.h"

namespace {

constexpr char SHELL[] = "/bin/sh";

TEST(RunProgram, ReportsStatusAndBothStreams) {
    testkit::TempDir dir;
    struct Case {
        const char* script;
        int status;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {"exit 3", 3, "", ""},
        {"echo out; echo err >&2", 0, "out\n", "err\n"},
        {"kill -TERM $$", 128 + SIGTERM, "", ""},
        {"cat", 0, "", ""},  // standard input is /dev/null, not the test's
        {"pwd", 0, dir.path() + "\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        const testkit::RunResult run = testkit::run_program(SHELL, {"-c", c.script}, dir.path());
        EXPECT_EQ(run.exit_status, c.status);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, c.err);
    }
}

TEST(RunProgram, AProgramThatCannotBeStartedEndsWith127) {
    EXPECT_EQ(testkit::run_program("/nonexistent/program", {}).exit_status, 127);
}

TEST(RunProgram, AProgramPastItsTimeOutIsKilledAndReaped) {
    const testkit::RunResult run = testkit::run_program(SHELL, {"-c", "echo started; exec sleep 60"}, "", 200);
    EXPECT_EQ(run.exit_status, -1);
}

TEST(Child, OneStillRunningAtTheEndOfItsScopeIsKilledAndReaped) {
    pid_t pid = -1;
    {
        testkit::Child sleeper({.program = "/bin/sleep", .args = {"60"}});
        pid = sleeper.pid();
        EXPECT_FALSE(sleeper.try_wait());
    }
    // A zombie would still accept the signal.
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST(Child, SendsStreamsToFilesAndDescriptors) {
    testkit::TempDir dir;
    testkit::write_file(dir.file("in"), "from a file\n");
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    testkit::Fd read_end(ends[0]);
    {
        testkit::Fd write_end(ends[1]);
        testkit::Child cat({.program = SHELL,
                            .args = {"-c", "cat; echo to a descriptor >&2"},
                            .in = testkit::Stream::file(dir.file("in")),
                            .out = testkit::Stream::file(dir.file("out")),
                            .err = testkit::Stream::descriptor(write_end.get())});
        EXPECT_EQ(cat.wait(), 0);
    }
    EXPECT_EQ(testkit::read_file(dir.file("out")), "from a file\n");
    EXPECT_EQ(testkit::drain(read_end.get(), 1000), "to a descriptor\n");
}

TEST(Child, AStatusIsKeptOnceReaped) {
    testkit::Child child([] { return 5; });
    EXPECT_EQ(child.wait(), 5);
    EXPECT_EQ(child.stop(SIGKILL), 5);  // no signal to a pid that may be another's by now
    EXPECT_EQ(child.try_wait(), 5);
}

TEST(LineReads, ReadUntilLeavesWhatFollowsTheMarker) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    testkit::Fd read_end(ends[0]);
    testkit::Fd write_end(ends[1]);
    ASSERT_TRUE(testkit::write_all(write_end.get(), "QZ4SIM_TTY=/dev/pts/9\nrest"));
    EXPECT_EQ(testkit::read_until(read_end.get(), "\n", 1000), "QZ4SIM_TTY=/dev/pts/9\n");
    EXPECT_EQ(testkit::read_some(read_end.get(), 2, 1000), "re");
    write_end.reset();
    EXPECT_EQ(testkit::drain(read_end.get(), 1000), "st");
    EXPECT_TRUE(testkit::hung_up(read_end.get(), 1000));
}

}  // namespace

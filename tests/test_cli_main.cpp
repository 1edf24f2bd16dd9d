// SPDX-License-Identifier: GPL-2.0-or-later
// The command line seen from outside: the real binary, its standard error and
// its exit status. A port that does not exist ends every run that gets past
// the pre-flight checks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/run_binary.h"

namespace {

using testing::HasSubstr;
using testing::Not;

const std::string HELP =
    "\n kelvane:  0.24 - 2002/10/30 - kelvane developers\n"
    "\n Usage:  kelvane [OPTIONS] <file> <kernel|romdisk|cramfs|pmon|0xOffset> \n"
    "  [ -l ]                 -- Capture input/output to ./capture.log\n"
    "  [ -r ]                 -- Restart QZ4 after loading\n"
    "  [ -R ]                 -- Restore defaults after flash\n"
    "  [ -s <serial port> ]   -- Serial port.  Default == ttyS0\n"
    "  [ -b <bit/s> ]         -- Fast line for transfers, 1K packets (e.g. 921600, or 115200)\n"
    "  [ -V ]                 -- Verify each image in the flash (CRC-32)\n"
    "  [ -u ]                 -- Write only the flash blocks that differ from the image\n"
    "  [ -t <temp dir> ]      -- Temp dir for split files.  Default==/tmp\n"
    "  [ -v (or -h) ]         -- Version and usage (this)\n"
    "  [ -C ]                 -- Disable kernel/romdisk size check (expert-only!)\n"
    "  [ -D ]                 -- Disable PMON overwrite check (expert-only!)\n"
    "  [ -X ]                 -- Do not load xmodem-load.srec\n\n";

const std::string NO_PORT = "kelvane-no-such-port";
const std::string PORT_ERROR =
    "Opening serial port...\nError: Unable to open port '/dev/kelvane-no-such-port' - No such file or directory\n\n";

class CommandLine : public testing::Test {
protected:
    testkit::TempDir dir;
    std::string image;  // a small kernel image
    void SetUp() override {
        image = dir.file("vmlinux");
        testkit::write_file(image, "kernel bytes");
    }
    testkit::RunResult run(const std::vector<std::string>& args) {
        testkit::RunResult r = run_kelvane(args, dir.path());
        EXPECT_EQ(r.out, "") << "standard output must stay empty";
        return r;
    }
};

TEST_F(CommandLine, ShowsTheHelpTextWithStatusOne) {
    const std::vector<std::vector<std::string>> help_runs = {
        {},  // no arguments at all
        {"-h"},
        {"-v"},
        {"-v", image, "kernel"},  // nothing after -v is looked at
        {"-D", "-h", "-s"},
        {"-r"},   // no words left, no -R
        {image},  // one word is not a pair
        {"-C", "--", image},
        {"-s"},  // -s without argument: diagnostic, then too few words
    };
    for (const auto& args : help_runs) {
        const testkit::RunResult r = run(args);
        EXPECT_EQ(r.exit_status, 1) << testing::PrintToString(args);
        EXPECT_TRUE(r.err.ends_with(HELP)) << testing::PrintToString(args) << r.err;
    }
    EXPECT_EQ(run({"-h"}).err, HELP);
}

TEST_F(CommandLine, ReadsSwitchesUntilTheFirstFileName) {
    struct Case {
        std::vector<std::string> args;
        std::string expected;
    };
    const std::vector<Case> cases = {
        // One job, then the port.
        {{"-s", NO_PORT, image, "kernel"}, "\n" + PORT_ERROR},
        {{"-s" + NO_PORT, image, "kernel"}, "\n" + PORT_ERROR},
        {{"-rXDC", "-s", NO_PORT, image, "kernel"}, "\n" + PORT_ERROR},
        {{"-s", "other", "-s", NO_PORT, image, "kernel"}, "\n" + PORT_ERROR},  // the last -s counts
        {{"-s", NO_PORT, "--", image, "kernel"}, "\n" + PORT_ERROR},
        // A switch after the first file name is a file name.
        {{"-s", NO_PORT, image, "kernel", "-r"}, "\nError:  no offset specified for '-r'\n"},
        // -R alone flashes nothing and goes straight to the port.
        {{"-R", "-s", NO_PORT}, "\n" + PORT_ERROR},
        {{"-R", "-s", NO_PORT, "lonely"}, "\nError:  no offset specified for 'lonely'\n"},
        // A letter outside the switches draws getopt's diagnostic and nothing else.
        {{"-x", "-s", NO_PORT, image, "kernel"}, "invalid option -- 'x'\n\n" + PORT_ERROR},
        {{"-s", NO_PORT, image, "0x0x1g"}, "\nError:  invalid offset '0x1g'"},
        {{"-s", NO_PORT, image, "KERNEL"}, "\nError:  invalid offset 'KERNEL'"},
    };
    for (const Case& c : cases) {
        const testkit::RunResult r = run(c.args);
        EXPECT_EQ(r.exit_status, 1) << testing::PrintToString(c.args);
        EXPECT_THAT(r.err, HasSubstr(c.expected)) << testing::PrintToString(c.args);
    }
}

// -b is judged before the port is opened, and its errors carry no system text.
TEST_F(CommandLine, RefusesAFastLineTheHostCannotSetOrThatCannotReachItsReceiver) {
    const std::string not_settable = "Error:  -b %s is not a line speed this host can set.  Aborting.\n\n";
    const auto refused = [&](const std::string& value) {
        std::string text = not_settable;
        text.replace(text.find("%s"), 2, value);
        return "\n" + text;
    };
    const std::string with_x = "\nError:  -b needs the receiver this run uploads; it cannot go with -X.  Aborting.\n\n";
    struct Case {
        std::vector<std::string> args;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{"-b", "576001", "-s", NO_PORT, image, "kernel"}, refused("576001")},
        {{"-b", "9216OO", "-s", NO_PORT, image, "kernel"}, refused("9216OO")},
        {{"-b", "+921600", "-s", NO_PORT, image, "kernel"}, refused("+921600")},
        {{"-b", "-921600", "-s", NO_PORT, image, "kernel"}, refused("-921600")},
        {{"-b", "", "-s", NO_PORT, image, "kernel"}, refused("")},
        {{"-b", "18446744073709551617", "-s", NO_PORT, image, "kernel"}, refused("18446744073709551617")},
        {{"-b", "921600", "-X", "-s", NO_PORT, image, "kernel"}, with_x},
        {{"-X", "-b921600", "-s", NO_PORT, image, "kernel"}, with_x},
    };
    for (const Case& c : cases) {
        const testkit::RunResult r = run(c.args);
        EXPECT_EQ(r.exit_status, 1) << testing::PrintToString(c.args);
        EXPECT_EQ(r.err, c.expected) << testing::PrintToString(c.args);
    }
    // Every speed of the table, and the monitor's own, gets as far as the port.
    for (const char* rate : {"115200", "230400", "460800", "576000", "921600", "1152000"}) {
        const testkit::RunResult r = run({"-b", rate, "-s", NO_PORT, image, "kernel"});
        EXPECT_THAT(r.err, HasSubstr("\n" + PORT_ERROR)) << rate;
    }
}

// -V reads the flash back and -u asks it for digests through the receiver
// this run uploads; with -X there is none of ours. Refused before the port is
// opened, in either order.
TEST_F(CommandLine, RefusesVerifyOrChangedBlocksWithoutTheReceiverThisRunUploads) {
    for (const char letter : {'V', 'u'}) {
        const std::string with_x = std::string("\nError:  -") + letter +
                                   " needs the receiver this run uploads; it cannot go with -X.  Aborting.\n\n";
        const std::string alone = std::string("-") + letter;
        const std::string joined = std::string("-X") + letter;
        for (const std::vector<std::string>& args : {std::vector<std::string>{alone, "-X", "-s", NO_PORT, image, "kernel"},
                                                     std::vector<std::string>{joined, "-s", NO_PORT, image, "kernel"}}) {
            const testkit::RunResult r = run(args);
            EXPECT_EQ(r.exit_status, 1) << testing::PrintToString(args);
            EXPECT_EQ(r.err, with_x) << testing::PrintToString(args);
        }
        EXPECT_THAT(run({alone, "-s", NO_PORT, image, "kernel"}).err, HasSubstr("\n" + PORT_ERROR)) << letter;
    }
}

TEST_F(CommandLine, ReportsAMissingTargetAfterEarlierJobsAndRemovesTheirPieces) {
    testkit::write_pattern_file(dir.file("rd"), 0x670001);
    const testkit::RunResult r = run({"-t", dir.path(), "-s", NO_PORT, "rd", "romdisk", "extra"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_THAT(r.err, HasSubstr("\nError:  no offset specified for 'extra'\n"));
    EXPECT_TRUE(r.err.ends_with("Cleanup removing " + dir.file("rd.1") + " ...done\nCleanup removing " +
                                dir.file("rd.2") + " ...done\n"))
        << r.err;
    EXPECT_THAT(r.err, Not(HasSubstr("Opening serial port")));
    EXPECT_NE(access(dir.file("rd.1").c_str(), F_OK), 0);
}

TEST_F(CommandLine, ChecksEveryImageBeforeTheFirstIsSplit) {
    // -C lifts both limits: the kernel is accepted and the romdisk split.
    testkit::write_pattern_file(dir.file("rd"), 0xB00001);
    const std::string big_kernel = dir.file("big");
    testkit::write_file(big_kernel, "");
    ASSERT_EQ(truncate(big_kernel.c_str(), 0x200001), 0);
    const testkit::RunResult r = run({"-C", "-D", "-t", dir.path(), "-s", NO_PORT, "big", "kernel", "rd", "romdisk"});
    EXPECT_THAT(r.err, HasSubstr("done (size = 0x600001)\n\n" + PORT_ERROR));
}

TEST_F(CommandLine, StartsTheCaptureLogOnlyWhenMinusLComesFirst) {
    const std::string log = dir.file("capture.log");
    EXPECT_EQ(run({"-h", "-l"}).err, HELP);
    EXPECT_NE(access(log.c_str(), F_OK), 0);

    const testkit::RunResult r = run({"-l", "-h", image, "kernel"});
    EXPECT_TRUE(r.err.ends_with(HELP));
    ASSERT_EQ(access(log.c_str(), F_OK), 0);
    // The header holds the whole command line, also what follows -h.
    EXPECT_THAT(testkit::read_file(log), HasSubstr(" -l -h " + image + " kernel"));
}

}  // namespace

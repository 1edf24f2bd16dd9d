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
    "  [ -u ]                 -- write only the flash blocks that differ from the image\n"
    "  [ -L ]                 -- List the serial ports and exit\n"
    "  [ -t <temp dir> ]      -- Temp dir for split files.  Default==/tmp\n"
    "  [ -v (or -h) ]         -- Version and usage (this)\n"
    "  [ -C ]                 -- Disable kernel/romdisk size check (expert-only!)\n"
    "  [ -D ]                 -- Disable PMON overwrite check (expert-only!)\n"
    "  [ -X ]                 -- Do not load xmodem-load.srec\n\n";

const std::string NO_PORT = "kelvane-no-such-port";
// The hint line that follows names the ports of the machine the test runs on.
const std::string PORT_ERROR =
    "Opening serial port...\nError: Unable to open port '/dev/kelvane-no-such-port' - No such file or directory\n"
    "Hint:  ";

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

// --help and --version answer on standard output with status 0, wherever they
// stand among the switches; after the first file name they are file names.
TEST_F(CommandLine, AnswersLongHelpAndVersionOnStandardOutput) {
    const std::string version = "kelvane:  0.24 - 2002/10/30 - kelvane developers\n";
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const std::vector<Case> cases = {
        {{"--help"}, HELP},
        {{"--version"}, version},
        {{"-r", "--version", "--help"}, version},
        {{"-s", "--help", "--version"}, version},  // the word after -s is its port
        {{"-D", "--help", image, "kernel"}, HELP},
    };
    for (const Case& c : cases) {
        const testkit::RunResult r = run_kelvane(c.args, dir.path());
        EXPECT_EQ(r.exit_status, 0) << testing::PrintToString(c.args);
        EXPECT_EQ(r.out, c.out) << testing::PrintToString(c.args);
        EXPECT_EQ(r.err, "") << testing::PrintToString(c.args);
    }
    // A file named --help is flashed like any other.
    const testkit::RunResult as_file = run({"-s", NO_PORT, "--", "--help", "kernel"});
    EXPECT_EQ(as_file.exit_status, 1);
    EXPECT_THAT(as_file.err, HasSubstr("--help"));
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
        {{"-s", NO_PORT, image, "0x0x1g"}, "\nError:  invalid offset '0x1g'"},
        {{"-s", NO_PORT, image, "KERNEL"}, "\nError:  invalid offset 'KERNEL'"},
    };
    for (const Case& c : cases) {
        const testkit::RunResult r = run(c.args);
        EXPECT_EQ(r.exit_status, 1) << testing::PrintToString(c.args);
        EXPECT_THAT(r.err, HasSubstr(c.expected)) << testing::PrintToString(c.args);
    }
}

// A mistyped switch, or one whose argument is missing, ends the run with
// getopt's diagnostic and the help text before any image or the port is opened.
TEST_F(CommandLine, EndsTheRunAtAnUnknownSwitchOrAMissingArgument) {
    struct Case {
        std::vector<std::string> args;
        std::string diagnostic;
    };
    const std::vector<Case> cases = {
        {{"-c", image, "kernel"}, "invalid option -- 'c'\n"},
        {{"-x", "-s", NO_PORT, image, "kernel"}, "invalid option -- 'x'\n"},
        {{"-rq", image, "kernel"}, "invalid option -- 'q'\n"},
        {{"-s", NO_PORT, "-C", "-t"}, "option requires an argument -- 't'\n"},
        {{"-R", "-s"}, "option requires an argument -- 's'\n"},
        {{"-c", "no-such-image", "kernel"}, "invalid option -- 'c'\n"},  // the image is never looked at
    };
    for (const Case& c : cases) {
        const testkit::RunResult r = run(c.args);
        EXPECT_EQ(r.exit_status, 1) << testing::PrintToString(c.args);
        EXPECT_THAT(r.err, HasSubstr(c.diagnostic + HELP)) << testing::PrintToString(c.args);
        EXPECT_TRUE(r.err.ends_with(HELP)) << r.err;
        EXPECT_THAT(r.err, Not(HasSubstr("Opening serial port"))) << testing::PrintToString(c.args);
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
        // Settable, but slower than the monitor's console.
        {{"-b", "9600", "-s", NO_PORT, image, "kernel"},
         "\nError:  -b 9600 is below the monitor's rate: it must be at least 115200.  Aborting.\n\n"},
        {{"-b", "115199", "-s", NO_PORT, image, "kernel"},
         "\nError:  -b 115199 is below the monitor's rate: it must be at least 115200.  Aborting.\n\n"},
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
    // The romdisk goes behind the large kernel: the two must not overlap.
    const testkit::RunResult r = run({"-C", "-D", "-t", dir.path(), "-s", NO_PORT, "big", "kernel", "rd", "0x400000"});
    EXPECT_THAT(r.err, HasSubstr("done (size = 0x600001)\n\n" + PORT_ERROR));
}

// The whole plan is judged before the port is opened; each refusal has a
// neighbour that gets as far as the port.
TEST_F(CommandLine, RefusesAPlanThatWouldWriteWhatWasNotAskedFor) {
    testkit::write_pattern_file(dir.file("k.img"), 0x100000);
    testkit::write_pattern_file(dir.file("s.img"), 0x10000);
    testkit::write_pattern_file(dir.file("block.img"), 0x20000);
    testkit::write_pattern_file(dir.file("one.img"), 1);
    testkit::write_file(dir.file("empty.img"), "");
    struct Case {
        std::vector<std::string> words;
        std::string refusal;  // "" when the run gets as far as the port
    };
    const std::vector<Case> cases = {
        {{"k.img", "kernel", "s.img", "0x80000"},
         "Error:  'k.img' and 's.img' overlap in the flash (0x80000..0x9ffff).  Aborting."},
        {{"k.img", "kernel", "s.img", "0x100000"}, ""},
        {{"k.img", "c"}, "Error:  offset 0xc of 'k.img' is not at the start of a flash block (0x20000 bytes).  Aborting."},
        {{"-C", "-D", "s.img", "2097152"},
         "Error:  offset 0x2097152 of 's.img' is not at the start of a flash block (0x20000 bytes).  Aborting."},
        {{"s.img", "0x1e0000"}, ""},
        {{"-D", "block.img", "0x1000000"},
         "Error:  'block.img' at 0x1000000 reaches past the end of the flash (0x1000000).  Aborting."},
        {{"-D", "block.img", "0xfe0000"}, ""},
        {{"empty.img", "romdisk"}, "Error:  'empty.img' is empty; there is nothing to flash.  Aborting."},
        {{"one.img", "romdisk"}, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"-s", NO_PORT};
        args.insert(args.end(), c.words.begin(), c.words.end());
        const testkit::RunResult r = run(args);
        EXPECT_EQ(r.exit_status, 1) << testing::PrintToString(c.words);
        if (c.refusal.empty())
            EXPECT_THAT(r.err, HasSubstr(PORT_ERROR)) << testing::PrintToString(c.words);
        else
            EXPECT_EQ(r.err, "\n\n" + c.refusal + "\n\n") << testing::PrintToString(c.words);
    }
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

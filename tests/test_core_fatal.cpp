// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/fatal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

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
        ExitedWithCode(1), stderr_is("\nError: Unable to open port '/dev/ttyS1' - No such file or directory\n\n"));
}

TEST(ErrorExitDeathTest, OutOfMemoryNamesTheFailedAllocation) {
    EXPECT_EXIT(
        {
            errno = ENOMEM;
            out_of_memory_exit();
        },
        ExitedWithCode(1), stderr_is("\nError:  out of memory - Cannot allocate memory\n\n"));
}

// A judgement of this program's own is printed alone, whatever failed before it.
TEST(ErrorExitDeathTest, ARefusalPrintsNoSystemErrorLeftFromEarlier) {
    EXPECT_EXIT(
        {
            errno = ENOENT;
            refuse_exit("Error:  '%s' changed since it was checked.  Aborting.", "rd");
        },
        ExitedWithCode(1), stderr_is("\nError:  'rd' changed since it was checked.  Aborting.\n\n"));
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

// The hint stands between the message's line and the blank line that ends it;
// the message itself is unchanged, and only the last hint attached is printed.
TEST(ErrorExitDeathTest, PrintsOneHintLineAfterTheMessage) {
    EXPECT_EXIT(
        {
            errno = ENOENT;
            attach_exit_hint("an earlier hint");
            attach_exit_hint("kelvane -L lists\nthe ports");
            error_exit("Error: Unable to open port '%s'", "/dev/ttyS9");
        },
        ExitedWithCode(1),
        stderr_is("\nError: Unable to open port '/dev/ttyS9' - No such file or directory\n"
                  "Hint:  kelvane -L liststhe ports\n\n"));
    EXPECT_EXIT(
        {
            attach_exit_hint("check the cable");
            refuse_exit("Error:  port '%s' is in use by another program.  Aborting.", "/dev/ttyS1");
        },
        ExitedWithCode(1),
        stderr_is("\nError:  port '/dev/ttyS1' is in use by another program.  Aborting.\nHint:  check the cable\n\n"));
}

}  // namespace

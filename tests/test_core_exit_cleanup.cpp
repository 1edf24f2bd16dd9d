// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/exit_cleanup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "core/fatal.h"

namespace {

using testing::ExitedWithCode;

std::string calls;

void note(void* argument) { calls += static_cast<const char*>(argument); }

// An entry that ends the run itself: the way out must not run it again.
void fail_once(void*) { refuse_exit("Error:  cleanup failed"); }

class ExitCleanupTest : public testing::Test {
protected:
    void SetUp() override {
        clear_exit_cleanups();
        calls.clear();
    }
    void TearDown() override { clear_exit_cleanups(); }
};

TEST_F(ExitCleanupTest, RunsEveryEntryOnceInRegistrationOrder) {
    ASSERT_TRUE(register_exit_cleanup(note, const_cast<char*>("a"), SignalSafety::unsafe));
    ASSERT_TRUE(register_exit_cleanup(note, const_cast<char*>("b"), SignalSafety::safe));
    ASSERT_TRUE(register_exit_cleanup(note, const_cast<char*>("c"), SignalSafety::unsafe));
    run_exit_cleanups();
    run_exit_cleanups();
    EXPECT_EQ(calls, "abc");
}

TEST_F(ExitCleanupTest, ASignalHandlerRunsOnlyTheSafeEntriesAndTheExitTheRest) {
    register_exit_cleanup(note, const_cast<char*>("a"), SignalSafety::unsafe);
    register_exit_cleanup(note, const_cast<char*>("b"), SignalSafety::safe);
    run_signal_safe_exit_cleanups();
    EXPECT_EQ(calls, "b");
    run_exit_cleanups();
    EXPECT_EQ(calls, "ba");
}

TEST_F(ExitCleanupTest, RefusesAnEntryPastTheLastSlot) {
    static const char* const names[EXIT_CLEANUP_SLOTS] = {"0", "1", "2", "3", "4", "5", "6", "7"};
    for (const char* name : names)
        EXPECT_TRUE(register_exit_cleanup(note, const_cast<char*>(name), SignalSafety::safe));
    EXPECT_FALSE(register_exit_cleanup(note, const_cast<char*>("y"), SignalSafety::safe));
    run_exit_cleanups();
    EXPECT_EQ(calls, "01234567");
}

// A module registers each time it acts; the table keeps one entry, and a
// cleared table (a test's reset) takes the registration anew.
TEST_F(ExitCleanupTest, AnEntryRegisteredAgainStandsOnceUntilTheTableIsCleared) {
    char* const a = const_cast<char*>("a");
    ASSERT_TRUE(register_exit_cleanup(note, a, SignalSafety::safe));
    ASSERT_TRUE(register_exit_cleanup(note, const_cast<char*>("b"), SignalSafety::safe));
    ASSERT_TRUE(register_exit_cleanup(note, a, SignalSafety::safe));
    run_exit_cleanups();
    EXPECT_EQ(calls, "ab");
    clear_exit_cleanups();
    ASSERT_TRUE(register_exit_cleanup(note, a, SignalSafety::safe));
    run_exit_cleanups();
    EXPECT_EQ(calls, "aba");
}

TEST_F(ExitCleanupTest, AnEntryThatEndsTheRunIsNotRunAgainOnTheWayOut) {
    EXPECT_EXIT(
        {
            register_exit_cleanup(fail_once, nullptr, SignalSafety::unsafe);
            register_exit_cleanup(note, const_cast<char*>("b"), SignalSafety::unsafe);
            cleanup_and_exit(0);
        },
        ExitedWithCode(1), testing::Eq("\nError:  cleanup failed\n\n"));
}

}  // namespace

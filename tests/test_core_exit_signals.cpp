// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/exit_signals.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "core/exit_cleanup.h"
#include "core/fatal.h"

namespace {

using testing::Eq;
using testing::KilledBySignal;

void say(void* text) {
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, text, strlen(static_cast<const char*>(text)));
}

void register_both_kinds() {
    clear_exit_cleanups();
    register_exit_cleanup(say, const_cast<char*>("unsafe\n"), SignalSafety::unsafe);
    register_exit_cleanup(say, const_cast<char*>("safe\n"), SignalSafety::safe);
}

// SIGQUIT's default action would leave a core file in the build tree.
void forbid_core_files() {
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
}

class ExitSignal : public testing::TestWithParam<int> {};

TEST_P(ExitSignal, RunsTheSafeCleanupsThenEndsByTheSignalItself) {
    const int sig = GetParam();
    EXPECT_EXIT(
        {
            forbid_core_files();
            register_both_kinds();
            install_exit_signal_handlers();
            raise(sig);
            say(const_cast<char*>("not ended\n"));
            _exit(0);
        },
        KilledBySignal(sig), Eq("safe\n"));
}

TEST_P(ExitSignal, StaysIgnoredWhenIgnoredAtStart) {
    const int sig = GetParam();
    EXPECT_EXIT(
        {
            std::signal(sig, SIG_IGN);
            register_both_kinds();
            install_exit_signal_handlers();
            raise(sig);
            say(const_cast<char*>("still running\n"));
            _exit(0);
        },
        testing::ExitedWithCode(0), Eq("still running\n"));
}

INSTANTIATE_TEST_SUITE_P(Signals, ExitSignal, testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

// Output to a closed standard error (kelvane ... 2>&1 | head) fails, and the
// run goes on: whatever SIGPIPE was at the start.
TEST(ExitSignals, AClosedPipeEndsNothing) {
    EXPECT_EXIT(
        {
            std::signal(SIGPIPE, SIG_DFL);
            install_exit_signal_handlers();
            int ends[2];
            if (pipe(ends) != 0) _exit(3);
            close(ends[0]);
            const bool failed = write(ends[1], "x", 1) < 0 && errno == EPIPE;
            say(const_cast<char*>(failed ? "went on\n" : "wrote\n"));
            _exit(0);
        },
        testing::ExitedWithCode(0), Eq("went on\n"));
}

// An entry of the normal end that a signal interrupts is finished, and so is
// every entry after it, unsafe ones included; then the signal ends the run.
void interrupted_entry(void*) {
    raise(SIGTERM);
    say(const_cast<char*>("first done\n"));
}

TEST(ExitSignals, ASignalDuringTheNormalEndWaitsUntilEveryEntryIsDone) {
    EXPECT_EXIT(
        {
            clear_exit_cleanups();
            register_exit_cleanup(interrupted_entry, nullptr, SignalSafety::safe);
            register_exit_cleanup(say, const_cast<char*>("unsafe\n"), SignalSafety::unsafe);
            register_exit_cleanup(say, const_cast<char*>("safe\n"), SignalSafety::safe);
            install_exit_signal_handlers();
            cleanup_and_exit(0);
        },
        KilledBySignal(SIGTERM), Eq("first done\nunsafe\nsafe\n"));
}

// A signal that comes while a step is held off ends the run once the step is whole.
TEST(ExitSignalsHeld, DefersASignalToTheEndOfTheScope) {
    EXPECT_EXIT(
        {
            register_both_kinds();
            install_exit_signal_handlers();
            {
                const ExitSignalsHeld held;
                raise(SIGTERM);
                say(const_cast<char*>("step done\n"));
            }
            say(const_cast<char*>("not ended\n"));
            _exit(0);
        },
        KilledBySignal(SIGTERM), Eq("step done\nsafe\n"));
}

}  // namespace

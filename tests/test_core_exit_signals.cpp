#include "core/exit_signals.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "core/exit_cleanup.h"

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

class ExitSignal : public testing::TestWithParam<int> {};

TEST_P(ExitSignal, RunsTheSafeCleanupsThenEndsByTheSignalItself) {
    const int sig = GetParam();
    EXPECT_EXIT(
        {
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

INSTANTIATE_TEST_SUITE_P(Signals, ExitSignal, testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

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

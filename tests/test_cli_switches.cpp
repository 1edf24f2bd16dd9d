// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/switches.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string echo_of(const std::vector<std::string>& words) {
    std::vector<const char*> argv;
    for (const std::string& w : words) argv.push_back(w.c_str());
    char echo[COMMAND_ECHO_SIZE];
    build_command_echo(echo, static_cast<int>(argv.size()), argv.data());
    return echo;
}

TEST(CommandEcho, RecordsEveryWordAfterALineEnd) {
    EXPECT_EQ(echo_of({"kelvane", "-l", "rd.gz", "romdisk"}), "\n kelvane -l rd.gz romdisk");
    EXPECT_EQ(echo_of({}), "\n");
}

TEST(CommandEcho, SkipsAWordThatWouldPassTheLimitAndKeepsTryingLaterOnes) {
    // "\n" + " kelvane" is 9 characters; a word of w characters adds w + 1.
    const std::string fits(1023 - 9 - 1, 'a');
    EXPECT_EQ(echo_of({"kelvane", fits}), "\n kelvane " + fits);
    EXPECT_EQ(echo_of({"kelvane", fits + "b"}), "\n kelvane");

    const std::string big(1000, 'x');
    const std::string echo = echo_of({"kelvane", big, big, "short"});
    EXPECT_EQ(echo, "\n kelvane " + big + " short");

    const std::string exactly_full = echo_of({"kelvane", fits, "z"});
    EXPECT_EQ(exactly_full.size(), 1023u);
    EXPECT_EQ(exactly_full.back(), 'a');
}

std::string path_of(const RunOptions& run_options) {
    char path[DEVICE_PATH_SIZE];
    build_device_path(path, run_options);
    return path;
}

TEST(DevicePath, IsTtyS0WithoutAPortName) { EXPECT_EQ(path_of(RunOptions{}), "/dev/ttyS0"); }

TEST(DevicePath, PutsAShortNameUnderDevAndTakesADevPathAsGiven) {
    const std::string by_id = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    const struct {
        std::string port_name;
        std::string path;
    } cases[] = {
        {"ttyS1", "/dev/ttyS1"},
        {"ttyUSB0", "/dev/ttyUSB0"},
        {"/ttyS1", "/dev//ttyS1"},  // only a name that begins with "/dev/" is a path
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {by_id, by_id},
        {"/dev", "/dev//dev"},
        {"dev/ttyS1", "/dev/dev/ttyS1"},
        {std::string(122, 'p'), "/dev/" + std::string(122, 'p')},
        {"/dev/" + std::string(122, 'p'), "/dev/" + std::string(122, 'p')},
    };
    for (const auto& c : cases) {
        RunOptions run_options;
        run_options.port_name = c.port_name;
        EXPECT_EQ(path_of(run_options), c.path) << c.port_name;
    }
}

// A path cut to fit would name another device: the run ends before any port is opened.
TEST(DevicePath, RefusesAPathLongerThan127Characters) {
    for (const std::string& name : {std::string(123, 'p'), "/dev/" + std::string(123, 'p'), std::string(4000, 'p')}) {
        RunOptions run_options;
        run_options.port_name = name;
        EXPECT_EXIT(path_of(run_options), ::testing::ExitedWithCode(1),
                    "Error:  the serial device path is [0-9]+ characters long; at most 127 fit.  Aborting.")
            << name.size();
    }
}

}  // namespace

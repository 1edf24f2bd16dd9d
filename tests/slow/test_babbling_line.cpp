// SPDX-License-Identifier: GPL-2.0-or-later
// A babbling line: the handheld (or a broken adapter) sends without a pause,
// and every wait of the run still ends, with a clear message, within its own
// limit: a drain within 10 s, a line (or the programming watch) within 50 s
// without a character stored (or without progress), the receiver's first NAK
// within 50 s.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/pty_test.h"
#include "support/run_binary.h"
#include "support/scripted_monitor.h"
#include "support/text_match.h"
#include "transfer/xmodem.h"

namespace {

constexpr int RUN_LIMIT_SECONDS = 240;  // the longest limit plus a whole run, on a busy machine

struct BabbleCase {
    const char* name;
    std::string babble_after;  // what the monitor says last before it babbles
    std::string babble;
    // What the run may end with: on a busy machine the babble itself can pause
    // long enough to end a drain, and the next wait then meets it.
    std::vector<std::string> messages;
};

void PrintTo(const BabbleCase& c, std::ostream* os) { *os << c.name; }

class BabblingLine : public PtyTest, public ::testing::WithParamInterface<BabbleCase> {};

TEST_P(BabblingLine, EndsTheRunWithAClearMessage) {
    const BabbleCase& c = GetParam();
    testkit::TempDir dir;
    testkit::write_pattern_file(dir.file("rd.bin"), 0x30000);  // two blocks: the babble comes after the first
    MonitorScript script;
    script.programming = [](const FlashRequest& r) { return "\r\nProgramming block " + std::to_string(r.offset) + "\r\n"; };
    script.babble_after = c.babble_after;
    script.babble = c.babble;
    ScriptedMonitor monitor(master_fd, script);
    const std::string err_path = dir.file("stderr.txt");
    testkit::Child kelvane =
        start_kelvane({"-s", slave_path.substr(5), dir.file("rd.bin"), "romdisk"}, dir.path(), err_path);
    EXPECT_EQ(monitor.serve(kelvane, RUN_LIMIT_SECONDS), 1);
    const std::string err = testkit::read_file(err_path);
    bool clear = false;
    for (const std::string& message : c.messages) clear = clear || err.find(message) != std::string::npos;
    EXPECT_TRUE(clear) << err;
    // Nothing but what the dialogue had sent before: no flash command after a babble before it.
    if (c.babble_after != "Programming block") {
        EXPECT_TRUE(monitor.flash_commands.empty());
    }
}

const std::string NULS(64, '\0');
const std::string LINE_ENDS = "\r\n\r\n\r\n\r\n";
const std::string TEXT_LINES = "Programming? no, noise\r\n";
const std::string TEXT = "no line end, no pause ";
const std::string DRAIN = "\nError:  port_readflush: the line did not fall quiet within 10 s.  Aborting.";
const std::string NO_PROMPT = "\nError: port_getpmon timed out reading from port";
const std::string TOO_LONG = "\nError:  port_readline line too long";
const std::string NO_ACK = "\nError:  ex_send got no ACK within 5 s, only other bytes.  Aborting";
const std::string WATCH_SILENT = "\nError: timeout reading from port";
const std::string NO_PROGRESS = "\nError:  no programming progress from the monitor within 50 s.  Aborting.";

INSTANTIATE_TEST_SUITE_P(
    Babble, BabblingLine,
    ::testing::Values(
        // The wake-up's drain after the first prompt, or the prompt's line after it.
        BabbleCase{"NulsAfterTheFirstPrompt", "PMON> ", NULS, {DRAIN, NO_PROMPT}},
        BabbleCase{"TextAfterTheFirstPrompt", "PMON> ", TEXT, {DRAIN, TOO_LONG}},
        // The drain after the echo of "load", or the wait for the first line's ACK.
        BabbleCase{"LineEndsAfterAnEcho", "load\r\n", LINE_ENDS, {DRAIN, NO_ACK}},
        // The programming watch: dropped bytes store nothing, lines bring no progress.
        BabbleCase{"NulsAfterABlock", "Programming block", NULS, {WATCH_SILENT}},
        BabbleCase{"LineEndsAfterABlock", "Programming block", LINE_ENDS, {WATCH_SILENT}},
        BabbleCase{"LinesAfterABlock", "Programming block", TEXT_LINES, {NO_PROGRESS}}),
    [](const auto& info) { return std::string(info.param.name); });

class BabbleBeforeTheReceiver : public PtyTest {};

// Endless bytes that are not the receiver's NAK end the wait for it.
TEST_F(BabbleBeforeTheReceiver, EndsTheWaitForItsFirstNak) {
    testkit::TempDir dir;
    const std::string path = dir.file("image");
    testkit::write_pattern_file(path, 300);
    std::atomic<bool> done{false};
    // Never blocked on a full line: once the sender has gone, nobody reads it.
    std::thread babbler([&] {
        const std::string noise(64, 'z');
        while (!done) {
            pollfd room{master_fd, POLLOUT, 0};
            if (poll(&room, 1, 10) > 0) {
                const ssize_t written = write(master_fd, noise.data(), noise.size());
                (void)written;
            }
        }
    });
    EXPECT_EXIT(xmodem_send(path.c_str(), slave_fd), ::testing::ExitedWithCode(1),
                literally("\nError:  no NAK from the receiver within 50 s, only other bytes.  Abort."));
    done = true;
    babbler.join();
}

}  // namespace

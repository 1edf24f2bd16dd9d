// SPDX-License-Identifier: GPL-2.0-or-later
// kelvane's XMODEM sender against an independent receiver: lrzsz's rx in
// checksum mode, which takes 1024-byte STX packets as well as 128-byte ones.
//
// Layout: sender (a child process) on pty A, rx on pty B, and this test relaying
// between the two masters. The relay makes the line behave like a serial line:
// - rx empties its input right after every ACK or NAK it writes; a packet that
//   arrives within microseconds of the ACK could be lost to that. The relay
//   holds the sender's bytes until a few milliseconds after rx last wrote, and
//   then paces them at about 115200 bit/s.
// - rx's flush on exit can swallow its final ACK, so the sender may never see
//   it: success is judged by rx's exit status and the file it stored, and the
//   sender is stopped once rx is done.
// - rx's own time-out is set short (3 s), so that a lost packet would still be
//   recovered by its NAK before the sender gives up.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>
#include <thread>

#include <gtest/gtest.h>

#include "testkit/fd.h"
#include "testkit/files.h"
#include "testkit/process.h"
#include "testkit/pty.h"
#include "transfer/xmodem.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr char RX_PROGRAM[] = "/usr/bin/rx";
constexpr auto AFTER_RX_WROTE = milliseconds(5);  // rx's flush follows its write at once
constexpr size_t PACE_CHUNK = 16;                 // bytes released at a time ...
constexpr auto PACE_DELAY = microseconds(1400);   // ... every 1.4 ms: about 115200 bit/s
constexpr auto TRANSFER_LIMIT = std::chrono::seconds(90);
constexpr int SENDER_GRACE_MS = 1000;

// The sender runs in a child of its own, holding only its end of line a.
testkit::Child start_sender(const std::string& file, testkit::PtyPair& line, testkit::PtyPair& other,
                            bool large_packets) {
    return testkit::Child([&] {
        line.close_master();
        other.close_master();
        other.close_slave();
        xmodem_send(file.c_str(), line.slave(), nullptr, XmodemOptions{.large_packets = large_packets});
        return 0;
    });
}

// rx talks on the slave of line; the pairs' other ends are close-on-exec.
testkit::Child start_rx(const std::string& dir, const testkit::PtyPair& line) {
    return testkit::Child({.program = RX_PROGRAM,
                           .args = {"-X", "-t", "30", "received.bin"},
                           .cwd = dir,
                           .in = testkit::Stream::descriptor(line.slave()),
                           .out = testkit::Stream::descriptor(line.slave()),
                           .err = testkit::Stream::file(dir + "/rx.log")});
}

// Relays between the masters until rx ends; returns rx's exit status (-1 on time-out).
int relay_until_rx_ends(const testkit::PtyPair& sender, const testkit::PtyPair& receiver, testkit::Child& rx) {
    const auto deadline = Clock::now() + TRANSFER_LIMIT;
    auto rx_wrote_at = Clock::now();
    while (Clock::now() < deadline) {
        if (const auto status = rx.try_wait()) return *status;
        pollfd fds[2] = {{sender.master(), POLLIN, 0}, {receiver.master(), POLLIN, 0}};
        if (poll(fds, 2, 20) <= 0) continue;
        char buffer[4096];
        if (fds[1].revents & POLLIN) {
            const ssize_t n = read(receiver.master(), buffer, sizeof buffer);
            if (n > 0) {
                testkit::write_all(sender.master(), std::string_view(buffer, static_cast<size_t>(n)));
                rx_wrote_at = Clock::now();
            }
        }
        if (fds[0].revents & POLLIN) {
            const ssize_t n = read(sender.master(), buffer, sizeof buffer);
            if (n <= 0) continue;
            std::this_thread::sleep_until(rx_wrote_at + AFTER_RX_WROTE);
            for (size_t at = 0; at < static_cast<size_t>(n); at += PACE_CHUNK) {
                testkit::write_all(receiver.master(),
                                   std::string_view(buffer + at, std::min(PACE_CHUNK, static_cast<size_t>(n) - at)));
                std::this_thread::sleep_for(PACE_DELAY);
            }
        }
    }
    rx.stop(SIGKILL);
    return -1;
}

void stop_sender(testkit::Child& sender) {
    // Its last ACK may have been swallowed by rx's exit; nothing left to learn.
    if (!sender.wait_for(SENDER_GRACE_MS)) sender.stop(SIGKILL);
}

struct RxCase {
    long long size;
    bool large_packets;
};

void PrintTo(const RxCase& c, std::ostream* os) { *os << c.size << (c.large_packets ? " with 1K packets" : ""); }

class XmodemToRx : public ::testing::TestWithParam<RxCase> {};

TEST_P(XmodemToRx, StoresTheFileWithOnlyFillerAfterIt) {
    if (access(RX_PROGRAM, X_OK) != 0) GTEST_SKIP() << "lrzsz's rx is not installed";
    testkit::TempDir dir;
    const std::string file = dir.file("image.bin");
    testkit::write_pattern_file(file, GetParam().size, 11);
    testkit::PtyPair a;
    testkit::PtyPair b;

    testkit::Child rx = start_rx(dir.path(), b);
    testkit::Child sender = start_sender(file, a, b, GetParam().large_packets);
    a.close_slave();
    b.close_slave();
    const int rx_status = relay_until_rx_ends(a, b, rx);
    stop_sender(sender);
    a.close_master();
    b.close_master();

    EXPECT_EQ(rx_status, 0) << testkit::read_file(dir.file("rx.log"));
    const std::string sent = testkit::read_file(file);
    const std::string stored = testkit::read_file(dir.file("received.bin"));
    ASSERT_GE(stored.size(), sent.size());
    EXPECT_TRUE(stored.compare(0, sent.size(), sent) == 0) << "stored data differ";
    EXPECT_EQ(stored.find_first_not_of('\x1A', sent.size()), std::string::npos) << "not only filler after the data";
    EXPECT_LE(stored.size(), (sent.size() / 128 + 1) * 128);
}

// One byte, one whole block (plus an all-filler block), an odd size, and
// enough blocks for the block number to wrap past 255; with 1K packets also
// one whole 1K block, 1K blocks with a tail, and a wrap on 1K packets.
INSTANTIATE_TEST_SUITE_P(Sizes, XmodemToRx,
                         ::testing::Values(RxCase{1, false}, RxCase{128, false}, RxCase{3001, false},
                                           RxCase{257LL * 128 + 77, false}, RxCase{1, true}, RxCase{1024, true},
                                           RxCase{3001, true}, RxCase{257LL * 1024 + 77, true}));

}  // namespace

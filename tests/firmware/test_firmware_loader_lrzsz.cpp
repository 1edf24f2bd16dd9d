// SPDX-License-Identifier: GPL-2.0-or-later
// The loader's fast entry against an independent sender: lrzsz's sx with
// 1024-byte packets (-k), in checksum mode because the loader asks with NAK.
//
// The test plays the host's negotiation from the script (the FAST line, a
// request for divisor 1, U/K, G); then sx, on a pty, takes over the line: the
// loader's NAK goes to sx and sx's packets come back to the emulated UART.
// When sx has ended, the peer does what kelvane does after the EOT's ACK:
// back to the monitor's rate and one wake-up byte, so the verdict is heard.
// Success is judged by the CRC32 line against what the loader stored, and
// the stored bytes against the file.
#include "firmware/loader_machine.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "testkit/fd.h"
#include "testkit/files.h"
#include "testkit/process.h"
#include "testkit/pty.h"

namespace {

constexpr char SX_PROGRAM[] = "/usr/bin/sx";
constexpr std::uint16_t MONITOR_DIVISOR = 8;
constexpr std::uint8_t NAK = 0x15;
constexpr std::uint8_t ACK = 0x06;
constexpr int EXIT_CHECK_EVERY = 1000;  // empty polls between looks at sx's exit
constexpr int SX_GRACE_MS = 5000;

// The pty's master as the far end of the emulated line.
class SxPeer : public LinePeer {
public:
    SxPeer(int master, testkit::Child& sx, LoaderMachine& machine) : master_(master), sx_(sx), machine_(machine) {
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }

    int receive() override {
        if (pending_.empty()) {
            char buffer[4096];
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n > 0) pending_.insert(pending_.end(), buffer, buffer + n);
        }
        if (!pending_.empty()) {
            const int byte = static_cast<unsigned char>(pending_.front());
            pending_.pop_front();
            return byte;
        }
        if (!woken_ && ++empty_polls_ % EXIT_CHECK_EVERY == 0 && sx_.try_wait()) {
            woken_ = true;
            machine_.set_host_rate(MONITOR_RATE);
            return '\r';
        }
        return -1;
    }

    void deliver(std::uint8_t byte) override {
        if (!woken_) testkit::write_all(master_, std::string(1, static_cast<char>(byte)));
    }

private:
    int master_;
    testkit::Child& sx_;
    LoaderMachine& machine_;
    std::deque<char> pending_;
    long empty_polls_ = 0;
    bool woken_ = false;
};

class SxToFastEntry : public ::testing::TestWithParam<long long> {};

TEST_P(SxToFastEntry, StoresTheFileInKilobytePacketsWithItsCrc) {
    if (access(SX_PROGRAM, X_OK) != 0) GTEST_SKIP() << "lrzsz's sx is not installed";
    const long long size = GetParam();
    testkit::TempDir dir;
    const std::string file = dir.file("image.bin");
    testkit::write_pattern_file(file, size, 5);
    testkit::PtyPair line;

    LoaderMachine machine;
    for (std::size_t i = 0; i < std::string("FAST 0008\r\n").size(); i++) machine.pause();
    machine.send({'S', 1, 0});
    machine.host_rate(machine.rate_of(1));
    machine.send({'U'});
    machine.pause();
    machine.send({'G'});

    testkit::Child sx({.program = SX_PROGRAM,
                       .args = {"-k", "image.bin"},
                       .cwd = dir.path(),
                       .in = testkit::Stream::descriptor(line.slave()),
                       .out = testkit::Stream::descriptor(line.slave()),
                       .err = testkit::Stream::file(dir.file("sx.log"))});
    line.close_slave();
    SxPeer peer(line.master(), sx, machine);
    machine.attach(&peer);
    machine.run(LOADER_FAST_ENTRY);

    ASSERT_EQ(machine.error, UC_ERR_OK) << uc_strerror(machine.error);
    EXPECT_EQ(machine.return_problem, "");
    // A loader that gave up leaves sx retrying for a long while.
    std::optional<int> sx_status = sx.wait_for(SX_GRACE_MS);
    if (!sx_status) sx.stop(SIGKILL);
    EXPECT_EQ(sx_status, 0) << testkit::read_file(dir.file("sx.log"));

    const std::string opening = "FAST 0008\r\nK" + std::string(1, static_cast<char>(NAK));
    ASSERT_EQ(machine.sent.compare(0, opening.size(), opening), 0) << machine.sent.substr(0, 40);
    const std::size_t verdict = machine.sent.find("Download Successful\r\nCRC32 ");
    ASSERT_NE(verdict, std::string::npos)
        << machine.sent.substr(machine.sent.size() > 80 ? machine.sent.size() - 80 : 0);
    unsigned long crc = 0;
    unsigned long count = 0;
    ASSERT_EQ(std::sscanf(machine.sent.c_str() + verdict, "Download Successful\r\nCRC32 %8lx %8lx", &crc, &count), 2);

    const std::string sent_file = testkit::read_file(file);
    ASSERT_GE(count, sent_file.size());
    EXPECT_EQ(count % 128, 0u);
    std::vector<std::uint8_t> stored = machine.read(RAM_RECEIVE_AREA, count);
    EXPECT_TRUE(std::string(stored.begin(), stored.begin() + sent_file.size()) == sent_file) << "stored data differ";
    for (std::size_t i = sent_file.size(); i < stored.size(); i++)
        ASSERT_EQ(stored[i], 0x1A) << "not only filler after the data, at " << i;
    EXPECT_EQ(crc, crc32(0, stored.data(), static_cast<uInt>(stored.size())));

    // sx -k sends its whole kilobytes as STX packets: far fewer answers than 128-byte packets would need.
    const std::size_t acks = static_cast<std::size_t>(
        std::count(machine.sent.begin(), machine.sent.begin() + verdict, static_cast<char>(ACK)));
    if (sent_file.size() >= 2048) {
        EXPECT_LT(acks, sent_file.size() / 128);
    }
    EXPECT_EQ(machine.divisors, (std::vector<std::uint16_t>{MONITOR_DIVISOR, 1, MONITOR_DIVISOR}));
    EXPECT_EQ(machine.divisor(), MONITOR_DIVISOR);
    EXPECT_FALSE(machine.divisor_changed_while_sending);
}

// Less than a kilobyte, whole kilobytes, a tail, and enough blocks to wrap past 255.
INSTANTIATE_TEST_SUITE_P(Sizes, SxToFastEntry, ::testing::Values(1LL, 300LL, 8192LL, 3001LL, 257LL * 1024 + 77));

}  // namespace

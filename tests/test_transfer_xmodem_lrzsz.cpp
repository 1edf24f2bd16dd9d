// kelvane's XMODEM sender against an independent receiver: lrzsz's rx in
// checksum mode.
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
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/run_binary.h"
#include "transfer/xmodem.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr char RX_PROGRAM[] = "/usr/bin/rx";
constexpr auto AFTER_RX_WROTE = milliseconds(5);   // rx's flush follows its write at once
constexpr size_t PACE_CHUNK = 16;                  // bytes released at a time ...
constexpr auto PACE_DELAY = microseconds(1400);    // ... every 1.4 ms: about 115200 bit/s
constexpr auto TRANSFER_LIMIT = std::chrono::seconds(90);
constexpr auto SENDER_GRACE = std::chrono::seconds(1);

struct Pty {
    int master = -1;
    int slave = -1;
};

Pty open_raw_pty() {
    Pty pty;
    if (openpty(&pty.master, &pty.slave, nullptr, nullptr, nullptr) != 0) return pty;
    termios line{};
    tcgetattr(pty.master, &line);
    cfmakeraw(&line);
    tcsetattr(pty.master, TCSANOW, &line);
    return pty;
}

void write_all(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        length -= static_cast<size_t>(n);
    }
}

pid_t start_sender(const std::string& file, const Pty& line, const Pty& other) {
    const pid_t pid = fork();
    if (pid == 0) {
        close(line.master);
        close(other.master);
        close(other.slave);
        xmodem_send(file.c_str(), line.slave);
        _exit(0);
    }
    return pid;
}

pid_t start_rx(const std::string& dir, const Pty& line, const Pty& other) {
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(line.slave, 0);
        dup2(line.slave, 1);
        const int err = open((dir + "/rx.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) dup2(err, 2);
        close(line.master);
        close(other.master);
        close(other.slave);
        if (chdir(dir.c_str()) != 0) _exit(126);
        execl(RX_PROGRAM, "rx", "-X", "-t", "30", "received.bin", static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// Relays between the masters until rx ends; returns rx's exit status (-1 on time-out).
int relay_until_rx_ends(const Pty& sender, const Pty& receiver, pid_t rx) {
    const auto deadline = Clock::now() + TRANSFER_LIMIT;
    auto rx_wrote_at = Clock::now();
    while (Clock::now() < deadline) {
        int status = 0;
        if (waitpid(rx, &status, WNOHANG) == rx) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pollfd fds[2] = {{sender.master, POLLIN, 0}, {receiver.master, POLLIN, 0}};
        if (poll(fds, 2, 20) <= 0) continue;
        char buffer[4096];
        if (fds[1].revents & POLLIN) {
            const ssize_t n = read(receiver.master, buffer, sizeof buffer);
            if (n > 0) {
                write_all(sender.master, buffer, static_cast<size_t>(n));
                rx_wrote_at = Clock::now();
            }
        }
        if (fds[0].revents & POLLIN) {
            const ssize_t n = read(sender.master, buffer, sizeof buffer);
            if (n <= 0) continue;
            std::this_thread::sleep_until(rx_wrote_at + AFTER_RX_WROTE);
            for (size_t at = 0; at < static_cast<size_t>(n); at += PACE_CHUNK) {
                write_all(receiver.master, buffer + at, std::min(PACE_CHUNK, static_cast<size_t>(n) - at));
                std::this_thread::sleep_for(PACE_DELAY);
            }
        }
    }
    kill(rx, SIGKILL);
    waitpid(rx, nullptr, 0);
    return -1;
}

void stop_sender(pid_t sender) {
    const auto deadline = Clock::now() + SENDER_GRACE;
    while (Clock::now() < deadline) {
        if (waitpid(sender, nullptr, WNOHANG) == sender) return;
        std::this_thread::sleep_for(milliseconds(20));
    }
    // Its last ACK may have been swallowed by rx's exit; nothing left to learn.
    kill(sender, SIGKILL);
    waitpid(sender, nullptr, 0);
}

class XmodemToRx : public ::testing::TestWithParam<long long> {};

TEST_P(XmodemToRx, StoresTheFileWithOnlyFillerAfterIt) {
    if (access(RX_PROGRAM, X_OK) != 0) GTEST_SKIP() << "lrzsz's rx is not installed";
    testkit::TempDir dir;
    const std::string file = dir.file("image.bin");
    testkit::write_pattern_file(file, GetParam(), 11);
    const Pty a = open_raw_pty();
    const Pty b = open_raw_pty();
    ASSERT_GE(a.master, 0);
    ASSERT_GE(b.master, 0);

    const pid_t rx = start_rx(dir.path(), b, a);
    const pid_t sender = start_sender(file, a, b);
    close(a.slave);
    close(b.slave);
    const int rx_status = relay_until_rx_ends(a, b, rx);
    stop_sender(sender);
    close(a.master);
    close(b.master);

    EXPECT_EQ(rx_status, 0) << testkit::read_file(dir.file("rx.log"));
    const std::string sent = testkit::read_file(file);
    const std::string stored = testkit::read_file(dir.file("received.bin"));
    ASSERT_GE(stored.size(), sent.size());
    EXPECT_TRUE(stored.compare(0, sent.size(), sent) == 0) << "stored data differ";
    EXPECT_EQ(stored.find_first_not_of('\x1A', sent.size()), std::string::npos) << "not only filler after the data";
    EXPECT_LE(stored.size(), (sent.size() / 128 + 1) * 128);
}

// One byte, one whole block (plus an all-filler block), an odd size, and
// enough blocks for the block number to wrap past 255.
INSTANTIATE_TEST_SUITE_P(Sizes, XmodemToRx, ::testing::Values(1LL, 128LL, 3001LL, 257LL * 128 + 77));

}  // namespace

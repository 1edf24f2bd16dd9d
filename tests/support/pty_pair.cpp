#include "support/pty_pair.h"

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

void PtyTest::SetUp() {
    char name[256] = {};
    ASSERT_EQ(openpty(&master_fd, &slave_fd, name, nullptr, nullptr), 0);
    slave_path = name;
    // Termios calls on the master act on the line: raw, so that the slave's
    // line discipline neither echoes nor rewrites CR.
    termios line{};
    ASSERT_EQ(tcgetattr(master_fd, &line), 0);
    cfmakeraw(&line);
    ASSERT_EQ(tcsetattr(master_fd, TCSANOW, &line), 0);
}

void PtyTest::TearDown() {
    if (slave_fd >= 0) close(slave_fd);
    if (master_fd >= 0) close(master_fd);
    slave_fd = master_fd = -1;
}

void PtyTest::peer_write(std::string_view text) {
    while (!text.empty()) {
        ssize_t n = write(master_fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        ASSERT_GT(n, 0);
        text.remove_prefix(static_cast<size_t>(n));
    }
}

std::string PtyTest::peer_read(size_t count, int timeout_ms) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string got;
    while (got.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0) break;
        pollfd p{master_fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buffer[4096];
        const size_t want = std::min(sizeof buffer, count - got.size());
        ssize_t n = read(master_fd, buffer, want);
        if (n <= 0) break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

std::string PtyTest::peer_drain(int quiet_ms) {
    std::string got;
    for (;;) {
        pollfd p{master_fd, POLLIN, 0};
        if (poll(&p, 1, quiet_ms) <= 0) break;
        char buffer[4096];
        ssize_t n = read(master_fd, buffer, sizeof buffer);
        if (n <= 0) break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

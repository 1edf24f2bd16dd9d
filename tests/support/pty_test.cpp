// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/pty_test.h"

#include "testkit/fd.h"

void PtyTest::peer_write(std::string_view text) { ASSERT_TRUE(testkit::write_all(master_fd, text)); }

std::string PtyTest::peer_read(size_t count, int timeout_ms) {
    return testkit::read_some(master_fd, count, timeout_ms);
}

std::string PtyTest::peer_drain(int quiet_ms) { return testkit::drain(master_fd, quiet_ms); }

void PtyTest::peer_hang_up() {
    pty.close_master();
    master_fd = -1;
}

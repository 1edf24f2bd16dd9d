// SPDX-License-Identifier: GPL-2.0-or-later
// A real pseudo-terminal for tests of the serial code: the code under test gets
// the slave, the test plays the far end on the master.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "testkit/pty.h"

class PtyTest : public ::testing::Test {
protected:
    // Writes all of text to the master.
    void peer_write(std::string_view text);
    // Reads from the master until count bytes came or timeout_ms passed.
    std::string peer_read(size_t count, int timeout_ms);
    // Reads from the master until it has been quiet for quiet_ms.
    std::string peer_drain(int quiet_ms);
    // Closes the master, as a device that vanishes; master_fd becomes -1.
    void peer_hang_up();

    testkit::PtyPair pty;
    int master_fd = pty.master();
    const int slave_fd = pty.slave();
    const std::string slave_path = pty.slave_path();
};

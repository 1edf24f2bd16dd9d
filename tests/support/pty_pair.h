// A real pseudo-terminal for tests of the serial code: the code under test gets
// the slave, the test plays the far end on the master.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

class PtyTest : public ::testing::Test {
protected:
    void SetUp() override;     // openpty, line made raw through the master
    void TearDown() override;  // closes both ends that are still open

    // Writes all of text to the master.
    void peer_write(std::string_view text);
    // Reads from the master until count bytes came or timeout_ms passed.
    std::string peer_read(size_t count, int timeout_ms);
    // Reads from the master until it has been quiet for quiet_ms.
    std::string peer_drain(int quiet_ms);

    int master_fd = -1;
    int slave_fd = -1;
    std::string slave_path;
};

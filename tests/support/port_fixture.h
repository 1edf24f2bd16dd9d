// SPDX-License-Identifier: GPL-2.0-or-later
// A pseudo-terminal whose slave is set up by port_setup, with the capture log
// on in a fresh current directory, so every case also shows what was logged.
#pragma once

#include <string>

#include "serial/capture.h"
#include "serial/port.h"
#include "support/pty_test.h"
#include "testkit/files.h"

class CapturingPortTest : public PtyTest {
protected:
    void SetUp() override {
        testkit::write_file(log_path(), "H\n");
        capture_enabled = true;
        port_setup(slave_fd);
    }
    void TearDown() override { capture_enabled = false; }

    std::string log_path() const { return dir.file("capture.log"); }
    // What the serial operations added to the log after its "H\n" stand-in header.
    std::string logged() const { return testkit::read_file(log_path()).substr(2); }

    testkit::TempDir dir;
    testkit::ScopedChdir in_dir{dir.path()};
};

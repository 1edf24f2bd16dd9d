// A pseudo-terminal whose slave is set up by port_setup, with the capture log
// on in a fresh current directory, so every case also shows what was logged.
#pragma once

#include <limits.h>
#include <unistd.h>

#include <string>

#include "serial/capture.h"
#include "serial/port.h"
#include "support/pty_pair.h"
#include "support/run_binary.h"

class CapturingPortTest : public PtyTest {
protected:
    void SetUp() override {
        PtyTest::SetUp();
        char cwd[PATH_MAX];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        saved_cwd = cwd;
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        write_file(log_path(), "H\n");
        capture_enabled = true;
        port_setup(slave_fd);
    }
    void TearDown() override {
        capture_enabled = false;
        ASSERT_EQ(chdir(saved_cwd.c_str()), 0);
        PtyTest::TearDown();
    }

    std::string log_path() const { return dir.file("capture.log"); }
    // What the serial operations added to the log after its "H\n" stand-in header.
    std::string logged() const { return read_file(log_path()).substr(2); }

    TempDir dir;
    std::string saved_cwd;
};

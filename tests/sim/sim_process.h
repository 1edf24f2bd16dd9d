// SPDX-License-Identifier: GPL-2.0-or-later
// qz4sim started as a child process for tests, and the host's end of its line.
//
// The simulator prints its slave's path and kelvane's -s value on standard
// output; SimProcess reads both before it returns, so the line exists by then.
// HostLine opens the slave raw at the monitor's rate, as a scripted host in
// tests of the simulator.
#pragma once

#include <csignal>
#include <string>
#include <string_view>
#include <vector>

#include "testkit/fd.h"
#include "testkit/process.h"

class SimProcess {
public:
    // Starts qz4sim with args; its standard error goes to log_path.
    SimProcess(const std::vector<std::string>& args, const std::string& log_path);

    const std::string& tty() const { return tty_; }    // /dev/pts/N
    const std::string& port() const { return port_; }  // pts/N, kelvane's -s value
    // Sends sig and waits for the exit; the exit status (128 + signal when killed).
    int stop(int sig = SIGTERM) { return child_.stop(sig); }
    void signal(int sig) { child_.signal(sig); }
    // Waits up to timeout_ms for the process to end by itself; -1 when it did not.
    int wait_exit(int timeout_ms) { return child_.wait_for(timeout_ms).value_or(-1); }

private:
    testkit::Child child_;
    std::string tty_;
    std::string port_;
};

class HostLine {
public:
    explicit HostLine(const std::string& tty);

    void send(std::string_view bytes);
    // Reads until the text read ends with marker or timeout_ms passed; all of it.
    std::string read_until(std::string_view marker, int timeout_ms) {
        return testkit::read_until(fd_.get(), marker, timeout_ms);
    }
    // One byte, or -1 when none came within timeout_ms.
    int read_byte(int timeout_ms) { return testkit::read_byte(fd_.get(), timeout_ms); }
    // Reads until the line has been quiet for quiet_ms.
    std::string drain(int quiet_ms) { return testkit::drain(fd_.get(), quiet_ms); }
    // Whether reading failed or hit end of file (the line is gone).
    bool gone(int timeout_ms) { return testkit::hung_up(fd_.get(), timeout_ms); }

private:
    testkit::Fd fd_;
};

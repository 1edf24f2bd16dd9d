// qz4sim started as a child process for tests, and the host's end of its line.
//
// The simulator prints its slave's path and kelvane's -s value on standard
// output; SimProcess reads both before it returns, so the line exists by then.
// HostLine opens the slave raw, as a scripted host in tests of the simulator.
#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

class SimProcess {
public:
    // Starts qz4sim with args; its standard error goes to log_path.
    SimProcess(const std::vector<std::string>& args, const std::string& log_path);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    const std::string& tty() const { return tty_; }    // /dev/pts/N
    const std::string& port() const { return port_; }  // pts/N, kelvane's -s value
    // Sends sig and waits for the exit; the exit status (128 + signal when killed).
    int stop(int sig = 15);
    void signal(int sig);
    // Waits up to timeout_ms for the process to end by itself; -1 when it did not.
    int wait_exit(int timeout_ms);

private:
    pid_t pid_ = -1;
    std::string tty_;
    std::string port_;
};

class HostLine {
public:
    explicit HostLine(const std::string& tty);
    ~HostLine();
    HostLine(const HostLine&) = delete;
    HostLine& operator=(const HostLine&) = delete;

    void send(std::string_view bytes);
    // Reads until the text read ends with marker or timeout_ms passed; all of it.
    std::string read_until(std::string_view marker, int timeout_ms);
    // One byte, or -1 when none came within timeout_ms.
    int read_byte(int timeout_ms);
    // Reads until the line has been quiet for quiet_ms.
    std::string drain(int quiet_ms);
    // Whether reading failed or hit end of file (the line is gone).
    bool gone(int timeout_ms);

private:
    int fd_ = -1;
};

// A fresh directory under /tmp, removed with its files at the end of the scope.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The whole of a file, or empty when it cannot be read.
std::string slurp(const std::string& path);

// SPDX-License-Identifier: GPL-2.0-or-later
// Child processes for tests: started, watched, stopped and always reaped.
//
// Exit statuses are the program's own, or 128 + the signal number when a
// signal ended it.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "testkit/fd.h"

namespace testkit {

// Where one of a started program's standard streams goes.
class Stream {
public:
    static Stream null() { return Stream(Kind::null); }        // /dev/null
    static Stream inherit() { return Stream(Kind::inherit); }  // the test's own
    // Output: created or truncated. Input: read from the start.
    static Stream file(std::string path);
    // A descriptor of the test's, such as a pty slave.
    static Stream descriptor(int fd);
    // For out and err: a pipe to the test, read through Child::out() or Child::err().
    static Stream pipe() { return Stream(Kind::pipe); }

    enum class Kind { null, inherit, file, descriptor, pipe };
    Kind kind() const { return kind_; }
    const std::string& path() const { return path_; }
    int fd() const { return fd_; }

private:
    explicit Stream(Kind kind) : kind_(kind) {}
    Kind kind_;
    std::string path_;
    int fd_ = -1;
};

struct Command {
    std::string program;              // a path: no search of PATH
    std::vector<std::string> args{};  // after argv[0], which is program
    std::string cwd{};                // the test's own when empty
    Stream in = Stream::null();
    Stream out = Stream::inherit();
    Stream err = Stream::inherit();
};

// A child process. One still running at the end of the scope is killed
// (SIGKILL) and reaped, so a failed test leaves nothing behind.
class Child {
public:
    // Starts command; throws when the streams cannot be set up or fork
    // fails. A program that cannot be executed ends with status 127.
    explicit Child(const Command& command);
    // Forks; the child runs body (code of the test's own program) and ends
    // with what it returns, without running the parent's destructors.
    explicit Child(const std::function<int()>& body);
    ~Child();
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // The test's ends of the pipes asked for with Stream::pipe().
    Fd& out() { return out_; }
    Fd& err() { return err_; }

    // The exit status once it has ended; never blocks.
    std::optional<int> try_wait();
    // The exit status, or nothing when it is still running after timeout_ms.
    std::optional<int> wait_for(int timeout_ms);
    int wait();
    // Sends sig while it has not been reaped.
    void signal(int sig);
    // Sends sig and waits; the exit status (the earlier one when it had already ended).
    int stop(int sig);

private:
    std::optional<int> reap(int options);

    pid_t pid_ = -1;
    std::optional<int> status_;
    Fd out_;
    Fd err_;
};

struct RunResult {
    int exit_status = -1;  // -1 after a time-out
    std::string out;       // standard output
    std::string err;       // standard error
};

// Runs program with args in cwd (the current directory when empty) to its
// end, standard input from /dev/null, collecting what it prints. A program
// still running after timeout_ms (none when negative) is killed.
RunResult run_program(const std::string& program, const std::vector<std::string>& args, const std::string& cwd = "",
                      int timeout_ms = -1);

}  // namespace testkit

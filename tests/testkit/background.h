// SPDX-License-Identifier: GPL-2.0-or-later
// A program run in the background: its standard error read as it comes, its
// signal dispositions chosen, its end and its CPU time collected.
//
// For tests that act while a run is under way (a second run beside it, a
// signal, a file replaced), and for a bound on the CPU a run may burn. With
// stderr_room set, standard error is a pipe of one page already so full that
// it takes only that many more bytes: the program then stops in its next
// write of standard error, at a point the test chose by the text before it,
// until the test reads.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "testkit/fd.h"
#include "testkit/process.h"

namespace testkit {

struct BackgroundOptions {
    std::string cwd;                   // the test's own when empty
    std::vector<int> ignored_signals;  // ignored from the start; every other signal has its default action
    long stderr_room = -1;             // see above; -1: standard error is never held up
};

struct BackgroundEnd {
    int exit_status = -1;    // the exit status, or 128 + signal number
    int signal = 0;          // the signal that ended it, or 0
    std::string err;         // all of standard error
    double cpu_seconds = 0;  // its user and system time
};

class BackgroundRun {
public:
    BackgroundRun(const std::string& program, const std::vector<std::string>& args,
                  const BackgroundOptions& options = {});

    pid_t pid() const { return child_.pid(); }
    // Reads standard error until it holds text; false when timeout_ms passed first.
    bool wait_for(const std::string& text, int timeout_ms);
    // What standard error has brought so far.
    const std::string& err() const { return err_; }
    void signal(int sig) { child_.signal(sig); }
    // Waits until the process has sig blocked, as it has while its handler for
    // sig runs; false when it ended or timeout_ms passed first. With standard
    // error held up, a test waits so before it reads: a write that the signal
    // cut short would otherwise find room again and complete first.
    bool wait_until_blocked(int sig, int timeout_ms);
    // Reads standard error to its end and reaps the process; one that has not
    // ended after timeout_ms is killed with SIGKILL first.
    BackgroundEnd finish(int timeout_ms);

private:
    // The pipe for standard error (the read end into read_end); its write end.
    static Fd open_stderr_pipe(long room, Fd& read_end);
    static Child start(const std::string& program, const std::vector<std::string>& args,
                       const BackgroundOptions& options, const Fd& err_write_end);
    // Reads what comes within timeout_ms; false at the end of standard error.
    bool read_some(int timeout_ms);

    Fd err_end_;
    size_t filler_left_ = 0;  // bytes of the test's own filler still ahead in the pipe
    std::string err_;
    Child child_;
};

}  // namespace testkit

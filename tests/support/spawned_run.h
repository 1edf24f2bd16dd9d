// A program run in the background: its standard error read as it comes, its
// signals chosen, its end and its CPU time collected.
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

struct SpawnOptions {
    std::string cwd;                  // the current directory when empty
    std::vector<int> ignored_signals; // ignored from the start; every other signal has its default action
    long stderr_room = -1;            // see above; -1: standard error is never held up
};

struct SpawnEnd {
    int exit_status = -1;  // the exit status, or 128 + signal number
    int signal = 0;        // the signal that ended it, or 0
    std::string err;       // all of standard error
    double cpu_seconds = 0;  // user and system time of the process
};

class SpawnedRun {
public:
    SpawnedRun(const std::string& program, const std::vector<std::string>& args,
               const SpawnOptions& options = {});
    ~SpawnedRun();
    SpawnedRun(const SpawnedRun&) = delete;
    SpawnedRun& operator=(const SpawnedRun&) = delete;

    pid_t pid() const { return pid_; }
    // Reads standard error until it holds text; false when timeout_ms passed first.
    bool wait_for(const std::string& text, int timeout_ms);
    // What standard error has brought so far.
    const std::string& err() const { return err_; }
    void signal(int sig);
    // Waits until the process has sig blocked, as it has while its handler for
    // sig runs; false when timeout_ms passed first. With standard error held
    // up, a test must wait so before it reads: a write that the signal cut
    // short would otherwise find room again and complete first.
    bool wait_until_blocked(int sig, int timeout_ms);
    // Reads standard error to its end and reaps the process; one that has not
    // ended after timeout_ms is killed with SIGKILL first.
    SpawnEnd finish(int timeout_ms);

private:
    // Reads what is there within timeout_ms; false at the end of standard error.
    bool read_some(int timeout_ms);

    pid_t pid_ = -1;
    int err_fd_ = -1;
    size_t filler_left_ = 0;  // bytes of the test's own filler still ahead in the pipe
    std::string err_;
};

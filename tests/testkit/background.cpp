// SPDX-License-Identifier: GPL-2.0-or-later
#include "testkit/background.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace testkit {

namespace {

constexpr int PIPE_PAGE = 4096;  // the smallest a pipe can be made

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

double cpu_of_waited_children() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

Fd BackgroundRun::open_stderr_pipe(long room, Fd& read_end) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    read_end.reset(ends[0]);
    Fd write_end(ends[1]);
    if (room < 0) return write_end;
    if (room > PIPE_PAGE || fcntl(ends[1], F_SETPIPE_SZ, PIPE_PAGE) != PIPE_PAGE)
        throw std::runtime_error("testkit: a pipe of one page");
    if (!write_all(ends[1], std::string(static_cast<size_t>(PIPE_PAGE - room), '#')))
        throw std::runtime_error("testkit: pipe filler");
    return write_end;
}

Child BackgroundRun::start(const std::string& program, const std::vector<std::string>& args,
                           const BackgroundOptions& options, const Fd& err_write_end) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int err_fd = err_write_end.get();
    return Child([&]() -> int {
        const int null_fd = open("/dev/null", O_RDWR);
        if (null_fd < 0 || dup2(null_fd, 0) < 0 || dup2(null_fd, 1) < 0 || dup2(err_fd, 2) < 0) return 127;
        // Whatever the test inherited: the program starts with the dispositions asked for.
        for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) ::signal(sig, SIG_DFL);
        for (const int sig : options.ignored_signals) ::signal(sig, SIG_IGN);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) return 127;
        execv(argv[0], argv.data());
        return 127;
    });
}

// The parent's write end closes once the child has its copy.
BackgroundRun::BackgroundRun(const std::string& program, const std::vector<std::string>& args,
                             const BackgroundOptions& options)
    : filler_left_(options.stderr_room >= 0 ? static_cast<size_t>(PIPE_PAGE - options.stderr_room) : 0),
      child_(start(program, args, options, open_stderr_pipe(options.stderr_room, err_end_))) {}

bool BackgroundRun::read_some(int timeout_ms) {
    if (!err_end_) return false;
    pollfd p{err_end_.get(), POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return true;  // nothing yet, or an interrupted wait
    char buffer[4096];
    const ssize_t n = read(err_end_.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) return true;
    if (n <= 0) {
        err_end_.reset();
        return false;
    }
    const size_t skip = std::min(filler_left_, static_cast<size_t>(n));
    filler_left_ -= skip;
    err_.append(buffer + skip, static_cast<size_t>(n) - skip);
    return true;
}

bool BackgroundRun::wait_for(const std::string& text, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (err_.find(text) == std::string::npos)
        if (ms_left(deadline) == 0 || !read_some(ms_left(deadline))) return err_.find(text) != std::string::npos;
    return true;
}

bool BackgroundRun::wait_until_blocked(int sig, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    const std::string status_path = "/proc/" + std::to_string(pid()) + "/status";
    for (;;) {
        std::ifstream status(status_path);
        std::string line;
        bool ended = true;  // no status, or a zombie's
        while (std::getline(status, line)) {
            if (line.rfind("State:", 0) == 0) ended = line.find('Z') != std::string::npos;
            if (line.rfind("SigBlk:", 0) != 0) continue;
            const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            if (mask & (1ull << (sig - 1))) return true;
        }
        if (ended || ms_left(deadline) == 0) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

BackgroundEnd BackgroundRun::finish(int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    bool killed = false;
    while (read_some(ms_left(deadline))) {
        if (ms_left(deadline) > 0) continue;
        if (killed) break;  // something else holds the pipe open; the process is gone all the same
        child_.signal(SIGKILL);
        killed = true;
        deadline = Clock::now() + std::chrono::seconds(5);
    }
    BackgroundEnd end;
    // The only child reaped in between is this one: the difference is its time.
    const double cpu_before = cpu_of_waited_children();
    end.exit_status = child_.wait();
    end.cpu_seconds = cpu_of_waited_children() - cpu_before;
    end.signal = end.exit_status > 128 ? end.exit_status - 128 : 0;
    end.err = err_;
    return end;
}

}  // namespace testkit

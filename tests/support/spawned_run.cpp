#include "support/spawned_run.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

constexpr int PIPE_PAGE = 4096;  // the smallest a pipe can be made

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// A pipe of one page holding page - room bytes of filler; the read end is returned.
void fill_pipe(int fds[2], long room) {
    if (fcntl(fds[1], F_SETPIPE_SZ, PIPE_PAGE) != PIPE_PAGE) throw std::runtime_error("F_SETPIPE_SZ");
    const std::string filler(static_cast<size_t>(PIPE_PAGE - room), '#');
    if (write(fds[1], filler.data(), filler.size()) != static_cast<ssize_t>(filler.size()))
        throw std::runtime_error("pipe filler");
}

}  // namespace

SpawnedRun::SpawnedRun(const std::string& program, const std::vector<std::string>& args,
                       const SpawnOptions& options) {
    int err_pipe[2];
    if (pipe(err_pipe) != 0) throw std::runtime_error("pipe");
    if (options.stderr_room >= 0) {
        if (options.stderr_room > PIPE_PAGE) throw std::runtime_error("stderr_room beyond a page");
        fill_pipe(err_pipe, options.stderr_room);
        filler_left_ = static_cast<size_t>(PIPE_PAGE - options.stderr_room);
    }
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(err_pipe[1], 2);
        close(err_pipe[0]);
        for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) std::signal(sig, SIG_DFL);
        for (const int sig : options.ignored_signals) std::signal(sig, SIG_IGN);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(127);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(err_pipe[1]);
    err_fd_ = err_pipe[0];
}

SpawnedRun::~SpawnedRun() {
    if (pid_ > 0) finish(0);
    if (err_fd_ >= 0) close(err_fd_);
}

bool SpawnedRun::read_some(int timeout_ms) {
    if (err_fd_ < 0) return false;
    pollfd p{err_fd_, POLLIN, 0};
    const int ready = poll(&p, 1, timeout_ms);
    if (ready < 0 && errno == EINTR) return true;
    if (ready <= 0) return true;
    char buffer[4096];
    const ssize_t n = read(err_fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) return true;
    if (n <= 0) {
        close(err_fd_);
        err_fd_ = -1;
        return false;
    }
    size_t skip = std::min(filler_left_, static_cast<size_t>(n));
    filler_left_ -= skip;
    err_.append(buffer + skip, static_cast<size_t>(n) - skip);
    return true;
}

bool SpawnedRun::wait_for(const std::string& text, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (err_.find(text) == std::string::npos) {
        if (ms_left(deadline) == 0 || !read_some(ms_left(deadline))) return err_.find(text) != std::string::npos;
    }
    return true;
}

void SpawnedRun::signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
}

bool SpawnedRun::wait_until_blocked(int sig, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    const std::string status_path = "/proc/" + std::to_string(pid_) + "/status";
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

SpawnEnd SpawnedRun::finish(int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    SpawnEnd end;
    if (pid_ <= 0) return end;
    bool killed = false;
    while (read_some(ms_left(deadline))) {
        if (ms_left(deadline) > 0) continue;
        if (killed) break;  // something else holds the pipe open; the process is gone all the same
        kill(pid_, SIGKILL);
        killed = true;
        deadline = Clock::now() + std::chrono::seconds(5);
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid_, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    end.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    end.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    end.err = err_;
    end.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return end;
}

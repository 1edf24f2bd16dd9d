// SPDX-License-Identifier: GPL-2.0-or-later
#include "testkit/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

namespace testkit {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

int exit_status_of(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

// One standard stream made ready before the fork: the descriptor the child
// puts in place (-1: leave it), and the test's end of a pipe.
struct Prepared {
    Fd owned;         // opened here for the child; closed in the test after the fork
    int source = -1;  // what the child duplicates onto the stream
    Fd test_end;
};

Prepared prepare(const Stream& stream, bool output) {
    Prepared p;
    switch (stream.kind()) {
        case Stream::Kind::inherit:
            break;
        case Stream::Kind::null:
            p.owned.reset(open("/dev/null", O_RDWR | O_CLOEXEC));
            if (!p.owned) fail("open /dev/null");
            break;
        case Stream::Kind::file:
            p.owned.reset(output ? open(stream.path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)
                                 : open(stream.path().c_str(), O_RDONLY | O_CLOEXEC));
            if (!p.owned) fail("open " + stream.path());
            break;
        case Stream::Kind::descriptor:
            p.source = stream.fd();
            break;
        case Stream::Kind::pipe: {
            if (!output) throw std::invalid_argument("testkit: standard input cannot be a pipe");
            int ends[2];
            if (pipe2(ends, O_CLOEXEC) != 0) fail("pipe");
            p.owned.reset(ends[1]);
            p.test_end.reset(ends[0]);
            break;
        }
    }
    if (p.owned) p.source = p.owned.get();
    return p;
}

}  // namespace

Stream Stream::file(std::string path) {
    Stream s(Kind::file);
    s.path_ = std::move(path);
    return s;
}

Stream Stream::descriptor(int fd) {
    Stream s(Kind::descriptor);
    s.fd_ = fd;
    return s;
}

Child::Child(const Command& command) {
    // Everything the child needs is made before the fork: after it, the child
    // calls only what is safe in a copy of a process that may run threads.
    Prepared streams[3] = {prepare(command.in, false), prepare(command.out, true), prepare(command.err, true)};
    std::vector<char*> argv{const_cast<char*>(command.program.c_str())};
    for (const auto& a : command.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const char* cwd = command.cwd.empty() ? nullptr : command.cwd.c_str();

    pid_ = fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) {
        for (int target = 0; target < 3; ++target) {
            const int source = streams[target].source;
            if (source < 0) continue;
            // dup2 onto itself would keep close-on-exec set.
            if (source == target ? fcntl(target, F_SETFD, 0) != 0 : dup2(source, target) < 0) _exit(127);
        }
        if (cwd != nullptr && chdir(cwd) != 0) _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    out_ = std::move(streams[1].test_end);
    err_ = std::move(streams[2].test_end);
}

Child::Child(const std::function<int()>& body) {
    pid_ = fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) {
        int status = 126;
        try {
            status = body();
        } catch (...) {}
        _exit(status);
    }
}

Child::~Child() {
    if (pid_ > 0 && !status_) stop(SIGKILL);
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      status_(other.status_),
      out_(std::move(other.out_)),
      err_(std::move(other.err_)) {}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        if (pid_ > 0 && !status_) stop(SIGKILL);
        pid_ = std::exchange(other.pid_, -1);
        status_ = other.status_;
        out_ = std::move(other.out_);
        err_ = std::move(other.err_);
    }
    return *this;
}

std::optional<int> Child::reap(int options) {
    if (status_ || pid_ <= 0) return status_;
    int status = 0;
    pid_t r;
    while ((r = waitpid(pid_, &status, options)) < 0 && errno == EINTR) {}
    if (r == pid_) status_ = exit_status_of(status);
    return status_;
}

std::optional<int> Child::try_wait() { return reap(WNOHANG); }

std::optional<int> Child::wait_for(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (const auto status = try_wait()) return status;
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int Child::wait() { return reap(0).value_or(-1); }

void Child::signal(int sig) {
    // Once reaped, the pid may belong to another process.
    if (pid_ > 0 && !status_) kill(pid_, sig);
}

int Child::stop(int sig) {
    signal(sig);
    return wait();
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                      int timeout_ms) {
    Child child({.program = program, .args = args, .cwd = cwd, .out = Stream::pipe(), .err = Stream::pipe()});
    RunResult result;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    pollfd fds[2] = {{child.out().get(), POLLIN, 0}, {child.err().get(), POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    while (open_count > 0) {
        int wait_ms = -1;
        if (timeout_ms >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                child.stop(SIGKILL);
                return result;
            }
            wait_ms = static_cast<int>(left);
        }
        if (poll(fds, 2, wait_ms) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    result.exit_status = child.wait();
    return result;
}

}  // namespace testkit

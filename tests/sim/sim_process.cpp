#include "sim/sim_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

// The simulator creates its line in milliseconds; this only guards a broken build.
constexpr int START_TIMEOUT_MS = 20000;

int exit_status_of(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

std::string value_after(const std::string& text, const std::string& key)
{
    const size_t at = text.find(key);
    if (at == std::string::npos) return "";
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) return "";
    return text.substr(at + key.size(), end - at - key.size());
}

}  // namespace

SimProcess::SimProcess(const std::vector<std::string>& args, const std::string& log_path)
{
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        const int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        dup2(out[1], 1);
        if (log >= 0) dup2(log, 2);
        close(out[0]);
        std::vector<char*> argv{const_cast<char*>(QZ4SIM_BINARY)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(QZ4SIM_BINARY, argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(START_TIMEOUT_MS);
    while (value_after(text, "QZ4SIM_PORT=").empty() && std::chrono::steady_clock::now() < give_up) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[256];
        const ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    tty_ = value_after(text, "QZ4SIM_TTY=");
    port_ = value_after(text, "QZ4SIM_PORT=");
    if (port_.empty()) {
        stop(SIGKILL);
        throw std::runtime_error("qz4sim did not announce its line: " + slurp(log_path));
    }
}

SimProcess::~SimProcess()
{
    if (pid_ > 0) stop(SIGKILL);
}

int SimProcess::stop(int sig)
{
    if (pid_ <= 0) return -1;
    kill(pid_, sig);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return exit_status_of(status);
}

void SimProcess::signal(int sig)
{
    if (pid_ > 0) kill(pid_, sig);
}

int SimProcess::wait_exit(int timeout_ms)
{
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (pid_ > 0) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return exit_status_of(status);
        }
        if (std::chrono::steady_clock::now() >= give_up) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

HostLine::HostLine(const std::string& tty)
{
    fd_ = open(tty.c_str(), O_RDWR | O_NOCTTY);
    if (fd_ < 0) throw std::runtime_error("cannot open " + tty);
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd_, TCSANOW, &t);
}

HostLine::~HostLine()
{
    if (fd_ >= 0) close(fd_);
}

void HostLine::send(std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = write(fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("write to the simulator's line failed");
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

std::string HostLine::read_until(std::string_view marker, int timeout_ms)
{
    std::string text;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!(text.size() >= marker.size() && text.compare(text.size() - marker.size(), marker.size(), marker) == 0)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(give_up - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char c;
        if (read(fd_, &c, 1) != 1) break;
        text.push_back(c);
    }
    return text;
}

int HostLine::read_byte(int timeout_ms)
{
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return -1;
    unsigned char c;
    return read(fd_, &c, 1) == 1 ? c : -1;
}

std::string HostLine::drain(int quiet_ms)
{
    std::string text;
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, quiet_ms) <= 0) return text;
        char buf[512];
        const ssize_t n = read(fd_, buf, sizeof buf);
        if (n <= 0) return text;
        text.append(buf, static_cast<size_t>(n));
    }
}

bool HostLine::gone(int timeout_ms)
{
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    char c;
    return read(fd_, &c, 1) <= 0;
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

ScratchDir::ScratchDir()
{
    char name[] = "/tmp/qz4sim-test-XXXXXX";
    if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = name;
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

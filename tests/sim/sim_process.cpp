// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim/sim_process.h"

#include <termios.h>

#include <stdexcept>

#include "testkit/files.h"
#include "testkit/pty.h"

namespace {

// The simulator creates its line in milliseconds; this only guards a broken build.
constexpr int START_TIMEOUT_MS = 20000;

std::string value_after(const std::string& text, const std::string& key) {
    const size_t at = text.find(key);
    if (at == std::string::npos) return "";
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) return "";
    return text.substr(at + key.size(), end - at - key.size());
}

testkit::Command sim_command(const std::vector<std::string>& args, const std::string& log_path) {
    return {
        .program = QZ4SIM_BINARY, .args = args, .out = testkit::Stream::pipe(), .err = testkit::Stream::file(log_path)};
}

}  // namespace

SimProcess::SimProcess(const std::vector<std::string>& args, const std::string& log_path)
    : child_(sim_command(args, log_path)) {
    // The announcement is the first lines; nothing after them is read.
    std::string text = testkit::read_until(child_.out().get(), "QZ4SIM_PORT=", START_TIMEOUT_MS);
    text += testkit::read_until(child_.out().get(), "\n", START_TIMEOUT_MS);
    child_.out().reset();
    tty_ = value_after(text, "QZ4SIM_TTY=");
    port_ = value_after(text, "QZ4SIM_PORT=");
    if (port_.empty()) {
        child_.stop(SIGKILL);
        throw std::runtime_error("qz4sim did not announce its line: " + testkit::read_file(log_path));
    }
}

// The port starts at the driver's 38400 bit/s: a host sets the monitor's rate itself.
HostLine::HostLine(const std::string& tty) : fd_(testkit::open_raw_tty(tty)) {
    termios t{};
    if (tcgetattr(fd_.get(), &t) != 0 || cfsetispeed(&t, B115200) != 0 || cfsetospeed(&t, B115200) != 0 ||
        tcsetattr(fd_.get(), TCSANOW, &t) != 0)
        throw std::runtime_error("cannot set the simulator's line to 115200 bit/s");
}

void HostLine::send(std::string_view bytes) {
    if (!testkit::write_all(fd_.get(), bytes)) throw std::runtime_error("write to the simulator's line failed");
}

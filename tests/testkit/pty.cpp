// SPDX-License-Identifier: GPL-2.0-or-later
#include "testkit/pty.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace testkit {

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

}  // namespace

PtyPair::PtyPair() {
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) fail("openpty");
    master_.reset(master);
    slave_.reset(slave);
    slave_path_ = name;
    if (fcntl(master, F_SETFD, FD_CLOEXEC) != 0 || fcntl(slave, F_SETFD, FD_CLOEXEC) != 0) fail("fcntl");
    termios line{};
    if (tcgetattr(master, &line) != 0) fail("tcgetattr");
    cfmakeraw(&line);
    if (tcsetattr(master, TCSANOW, &line) != 0) fail("tcsetattr");
}

Fd open_raw_tty(const std::string& path) {
    Fd fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!fd) fail("cannot open " + path);
    termios t{};
    if (tcgetattr(fd.get(), &t) != 0) fail("tcgetattr " + path);
    cfmakeraw(&t);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd.get(), TCSANOW, &t) != 0) fail("tcsetattr " + path);
    return fd;
}

}  // namespace testkit

// SPDX-License-Identifier: GPL-2.0-or-later
#include "serial/port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/fatal.h"
#include "core/kept_texts.h"
#include "serial/capture.h"
#include "serial/line_assembly.h"
#include "serial/line_speed.h"
#include "serial/port_list.h"

namespace {

// A read returns after at most 0.5 s (in tenths of a second) with one byte or none.
constexpr cc_t READ_VMIN = 0;
constexpr cc_t READ_VTIME = 5;
// Waits for writability and for the first byte of a line: 10 selects of 5 s each.
constexpr int WAIT_ATTEMPTS = 10;
constexpr int WAIT_SECONDS = 5;
// Once a line has begun, this long without a character stored ends the read as
// a time-out (the same 50 s as the first byte): a monitor that stops mid-line,
// or a line that sends only bytes a line drops (NUL, endless CR and LF),
// cannot hang the run.
constexpr std::chrono::seconds LINE_SILENCE_LIMIT{WAIT_ATTEMPTS * WAIT_SECONDS};
// A drain ends after this long (microseconds) without input.
constexpr suseconds_t DRAIN_QUIET_USEC = 100000;
// A drain that never meets its quiet time ends the run after this long. At
// 115200 bit/s it is over 100 KiB, far more than any reply the monitor gives
// to a command or a wake-up (its start-up banner included): a line that talks
// on is babbling, and the drain must not hold the port for ever.
constexpr std::chrono::seconds DRAIN_LIMIT{10};

constexpr char CR = 0x0D;

// Up to WAIT_ATTEMPTS selects on port_fd alone. An interrupted or failed select
// counts as a spent attempt, like a time-out.
bool wait_until_ready(int port_fd, bool for_write) {
    for (int attempt = 0; attempt < WAIT_ATTEMPTS; ++attempt) {
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(port_fd, &ready);
        timeval timeout{WAIT_SECONDS, 0};
        const int result = for_write ? select(port_fd + 1, nullptr, &ready, nullptr, &timeout)
                                     : select(port_fd + 1, &ready, nullptr, nullptr, &timeout);
        if (result > 0) return true;
    }
    return false;
}

// True when nothing arrives within the drain's quiet time. An interrupted or
// failed select counts as input being ready: the next read decides.
bool port_quiet(int port_fd) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(port_fd, &ready);
    timeval timeout{0, DRAIN_QUIET_USEC};
    return select(port_fd + 1, &ready, nullptr, nullptr, &timeout) == 0;
}

void capture_if_enabled(const char* text, int length) {
    if (capture_enabled) capture_write(text, length);
}

}  // namespace

// A hung-up terminal answers every read at once with nothing and select keeps
// reporting it ready, so a reader that waits for input must ask this after an
// empty read, or it spins for ever.
bool port_hung_up(int port_fd) {
    pollfd state{port_fd, POLLIN, 0};
    return poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool line_has_prompt(const char* text, size_t length) {
    const std::string_view stored(text, length);
    return stored.find(PMON_PROMPT) != std::string_view::npos || stored.find(PMRAM_PROMPT) != std::string_view::npos;
}

bool line_has_prompt(const char* text) { return line_has_prompt(text, strlen(text)); }

int port_open(const char* device_path) {
    // O_NONBLOCK only so that the open does not wait for carrier; clearing every
    // status flag right after makes later reads and writes block again, bounded
    // by VMIN/VTIME.
    const int port_fd = open(device_path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (port_fd < 0) return -1;
    fcntl(port_fd, F_SETFL, 0);
    return port_fd;
}

void port_setup(int port_fd) {
    termios options{};
    if (tcgetattr(port_fd, &options) != 0) error_exit("Error:  Cannot get serial options");
    cfsetispeed(&options, MONITOR_SPEED_CODE);
    cfsetospeed(&options, MONITOR_SPEED_CODE);
    // Only these flags change; everything else keeps what the driver had.
    options.c_cflag &= ~(CSIZE | CSTOPB | PARENB);
    options.c_cflag |= CS8 | CREAD | CLOCAL | CRTSCTS;
    options.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
    options.c_iflag &= ~(IXON | IXOFF | IXANY);
    options.c_iflag |= INPCK | ISTRIP;
    options.c_oflag &= ~OPOST;
    options.c_cc[VMIN] = READ_VMIN;
    options.c_cc[VTIME] = READ_VTIME;
    if (tcsetattr(port_fd, TCSANOW, &options) != 0) error_exit("Error:  Cannot set serial options");
}

void port_send(int port_fd, const void* payload, int length, Capture capture) {
    if (!wait_until_ready(port_fd, true)) refuse_exit("Error:  port_send timeout writing to port");
    // One write of the whole text: a partial write is an error, never continued.
    const ssize_t written = write(port_fd, payload, static_cast<size_t>(length));
    if (written < 0) error_exit("Error:  port_send unable to write to serial port");
    if (written < length) refuse_exit("%s", PORT_SHORT_WRITE_MESSAGE);
    if (capture == Capture::record) capture_if_enabled(static_cast<const char*>(payload), length);
}

int port_readline(int port_fd, char* buffer) {
    using Clock = std::chrono::steady_clock;
    memset(buffer, 0, LINE_BUFFER_SIZE);
    if (!wait_until_ready(port_fd, false)) return -1;

    LineAssembly line{buffer};
    // Only a stored character is progress; dropped bytes do not hold the line open.
    auto last_stored_at = Clock::now();
    for (bool complete = false; !complete;) {
        char byte = 0;
        // No signal is armed while lines are read, so a failed read is a real failure.
        const ssize_t got = read(port_fd, &byte, 1);
        if (got < 0) return -1;
        if (got == 0) {
            // 0.5 s without input: the last character of a prompt may have been stored.
            complete = line_complete_on_silence(line);
            if (!complete && port_hung_up(port_fd)) return -1;
            if (!complete && Clock::now() - last_stored_at >= LINE_SILENCE_LIMIT) return -1;
            continue;
        }
        switch (line_take_byte(line, byte)) {
            case LineStep::complete:
                complete = true;
                break;
            case LineStep::too_long:
                refuse_exit("Error:  port_readline line too long");
            case LineStep::stored:
                last_stored_at = Clock::now();
                break;
            case LineStep::dropped:
                if (Clock::now() - last_stored_at >= LINE_SILENCE_LIMIT) return -1;
                break;
        }
    }
    capture_if_enabled(buffer, line.length);
    return 0;
}

bool port_prompt_within(int port_fd, char* buffer, std::chrono::milliseconds limit) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + limit;
    // Each read waits at most 0.5 s, so the limit is overrun by at most that.
    while (Clock::now() < deadline) {
        memset(buffer, 0, LINE_BUFFER_SIZE);
        LineAssembly line{buffer};
        bool complete = false;
        while (!complete && Clock::now() < deadline) {
            char byte = 0;
            const ssize_t got = read(port_fd, &byte, 1);
            if (got < 0) return false;
            if (got == 0) {
                complete = line_complete_on_silence(line);
                if (!complete && port_hung_up(port_fd)) return false;
                continue;
            }
            const LineStep step = line_take_byte(line, byte);
            complete = step == LineStep::complete || step == LineStep::too_long;
        }
        if (!complete) return false;
        capture_if_enabled(buffer, line.length);
        if (line_has_prompt(buffer)) return true;
    }
    return false;
}

std::string port_readflush(int port_fd) {
    std::string drained;
    drained.reserve(DRAIN_TEXT_SIZE);
    const auto give_up = std::chrono::steady_clock::now() + DRAIN_LIMIT;
    do {
        char byte = 0;
        // The first read does not wait for readiness: a drain always costs one read.
        const ssize_t got = read(port_fd, &byte, 1);
        const bool hung_up = got == 0 && port_hung_up(port_fd);
        if (hung_up) errno = EIO;  // the line is gone: as much a failed read as an error result
        if (got < 0 || hung_up) error_exit("Error:  port_readflush failed to read byte");
        // CR is dropped, LF kept; beyond a full buffer bytes are read and thrown away.
        if (got == 1 && byte != CR && drained.size() < DRAIN_TEXT_SIZE) drained += byte;
        if (std::chrono::steady_clock::now() >= give_up) {
            refuse_exit("Error:  port_readflush: the line did not fall quiet within %lld s.  Aborting.",
                       static_cast<long long>(DRAIN_LIMIT.count()));
        }
    } while (!port_quiet(port_fd));
    // The log takes the text up to a NUL; the caller gets all of it.
    capture_if_enabled(drained.data(), static_cast<int>(strnlen(drained.data(), drained.size())));
    return drained;
}

std::string port_wakeup(int port_fd) {
    port_send(port_fd, "\r\r", 2, Capture::record);
    std::string drained = port_readflush(port_fd);
    port_send(port_fd, "\r", 1, Capture::record);
    return drained;
}

std::string port_getpmon(int port_fd, char* buffer) {
    fprintf(stderr, "Looking for PMON prompt...");
    std::string drained = port_wakeup(port_fd);
    if (port_readline(port_fd, buffer) < 0) {
        attach_exit_hint(NO_PROMPT_HINT);
        error_exit("Error: port_getpmon timed out reading from port");
    }
    fprintf(stderr, "done\n");
    return drained;
}

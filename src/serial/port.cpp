// SPDX-License-Identifier: GPL-2.0-or-later
#include "serial/port.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "core/fatal.h"
#include "core/kept_texts.h"
#include "serial/byte_wait.h"
#include "serial/capture.h"
#include "serial/line_speed.h"

namespace {

// A read returns after at most 0.5 s (in tenths of a second) with one byte or none.
constexpr cc_t READ_VMIN = 0;
constexpr cc_t READ_VTIME = 5;
// The port must take a text within this long (ten of the original 5 s waits).
constexpr std::chrono::seconds ROOM_LIMIT{50};

// The run's input settings while a stream has the port.
tcflag_t run_input_flags = 0;
bool stream_has_port = false;

void set_input_flags(int port_fd, tcflag_t input_flags) {
    termios options{};
    if (tcgetattr(port_fd, &options) != 0) error_exit("Error:  Cannot get serial options");
    options.c_iflag = input_flags;
    if (tcsetattr(port_fd, TCSANOW, &options) != 0) error_exit("Error:  Cannot set serial options");
}

}  // namespace

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
    // A hung-up line is written all the same: the write's own failure says what happened.
    const ByteWait room = wait_for_room(port_fd, ROOM_LIMIT);
    if (room == ByteWait::failed) error_exit("Error:  port_send timeout writing to port");
    if (room != ByteWait::ready && room != ByteWait::hung_up) refuse_exit("Error:  port_send timeout writing to port");
    // One write of the whole text: a partial write is an error, never continued.
    const ssize_t written = write(port_fd, payload, static_cast<size_t>(length));
    if (written < 0) error_exit("Error:  port_send unable to write to serial port");
    if (written < length) refuse_exit("%s", PORT_SHORT_WRITE_MESSAGE);
    if (capture == Capture::record && capture_enabled) capture_write(payload, length);
}

void port_stream_raw(int port_fd) {
    termios options{};
    if (tcgetattr(port_fd, &options) != 0) error_exit("Error:  Cannot get serial options");
    if (!stream_has_port) run_input_flags = options.c_iflag;
    stream_has_port = true;
    // A 0x0D answer byte read as 0x0A, or an XOFF taken by the driver, breaks the stream.
    tcflag_t raw = options.c_iflag & ~(ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | BRKINT | IXON | IXOFF | IXANY);
    // A break or a parity error is a damaged byte: the frame's check refuses it.
    raw |= IGNBRK | IGNPAR;
    set_input_flags(port_fd, raw);
}

void port_stream_done(int port_fd) {
    if (!stream_has_port) return;
    stream_has_port = false;
    set_input_flags(port_fd, run_input_flags);
}

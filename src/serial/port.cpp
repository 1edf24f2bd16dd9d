#include "serial/port.h"

#include <fcntl.h>
#include <unistd.h>

int port_open(const char* device_path) {
    // O_NONBLOCK only so that the open does not wait for carrier; clearing every
    // status flag right after makes later reads and writes block again, bounded
    // by VMIN/VTIME.
    const int port_fd = open(device_path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (port_fd < 0) return -1;
    fcntl(port_fd, F_SETFL, 0);
    return port_fd;
}

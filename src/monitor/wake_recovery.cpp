// SPDX-License-Identifier: GPL-2.0-or-later
#include "monitor/wake_recovery.h"

#include <cstdio>
#include <cstring>

#include "core/fatal.h"
#include "serial/port.h"
#include "transfer/control_bytes.h"
#include "transfer/xmodem.h"

void send_recovery_bytes(int port_fd) {
    unsigned char bytes[XMODEM_1K_PACKET_SIZE + 1];
    std::memset(bytes, CAN, XMODEM_1K_PACKET_SIZE);
    bytes[XMODEM_1K_PACKET_SIZE] = ETX;
    port_send(port_fd, bytes, static_cast<int>(sizeof bytes), Capture::skip);
}

std::string getpmon_recovering(int port_fd, char* buffer) {
    fprintf(stderr, "Looking for PMON prompt...");
    std::string drained = port_wakeup(port_fd);
    if (!port_prompt_within(port_fd, buffer, RECOVERY_WAIT)) {
        send_recovery_bytes(port_fd);
        drained += port_readflush(port_fd);
        drained += port_wakeup(port_fd);
        if (port_readline(port_fd, buffer) < 0) error_exit("Error: port_getpmon timed out reading from port");
    }
    fprintf(stderr, "done\n");
    return drained;
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "monitor/wake_recovery.h"

#include <cstdio>

#include "core/fatal.h"
#include "serial/port.h"
#include "transfer/control_bytes.h"
#include "transfer/receiver_session.h"

void recover_monitor(int port_fd) {
    receiver_stop_leftover(port_fd);
    port_send(port_fd, &ETX, 1, Capture::skip);
}

std::string getpmon_recovering(int port_fd, char* buffer) {
    fprintf(stderr, "Looking for PMON prompt...");
    std::string drained = port_wakeup(port_fd);
    if (!port_prompt_within(port_fd, buffer, RECOVERY_WAIT)) {
        recover_monitor(port_fd);
        drained += port_readflush(port_fd);
        drained += port_wakeup(port_fd);
        if (port_readline(port_fd, buffer) < 0) error_exit("Error: port_getpmon timed out reading from port");
    }
    fprintf(stderr, "done\n");
    return drained;
}

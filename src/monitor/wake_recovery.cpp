// SPDX-License-Identifier: GPL-2.0-or-later
#include "monitor/wake_recovery.h"

#include <cstdio>

#include "core/fatal.h"
#include "monitor/monitor_prompt.h"
#include "serial/line_reader.h"
#include "transfer/loader_upload.h"
#include "transfer/receiver_session.h"

bool recover_monitor(int port_fd) {
    receiver_stop_leftover(port_fd);
    return end_open_load(port_fd, line_has_prompt);
}

std::string getpmon_recovering(LineReader& line) {
    fprintf(stderr, "Looking for PMON prompt...");
    std::string drained = port_wakeup(line);
    if (!line.end_text_within(RECOVERY_WAIT)) {
        recover_monitor(line.fd());
        drained += line.readflush();
        drained += port_wakeup(line);
        if (line.readline() < 0) line.readline_failed_exit("Error: port_getpmon timed out reading from port");
    }
    fprintf(stderr, "done\n");
    return drained;
}

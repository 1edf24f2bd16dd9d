// SPDX-License-Identifier: GPL-2.0-or-later
#include "monitor/monitor_commands.h"

#include <algorithm>
#include <cstdio>

#include "serial/port.h"

int format_flash_command(char* buffer, int64_t flash_size, int64_t offset) {
    const int length = snprintf(buffer, LINE_BUFFER_SIZE, CMD_FLASH_FORMAT, RAM_RECEIVE_AREA,
                                static_cast<unsigned long>(flash_size), static_cast<unsigned long>(offset));
    return std::min(length, LINE_BUFFER_SIZE - 1);
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "monitor/monitor_commands.h"

#include <cstdio>

namespace {

// Room for the longest command formatted: three 64-bit values in hexadecimal and the words.
constexpr int COMMAND_TEXT_SIZE = 96;

}  // namespace

std::string format_flash_command(int64_t flash_size, int64_t offset) {
    char text[COMMAND_TEXT_SIZE];
    const int length = snprintf(text, sizeof text, CMD_FLASH_FORMAT, RAM_RECEIVE_AREA,
                                static_cast<unsigned long>(flash_size), static_cast<unsigned long>(offset));
    return std::string(text, static_cast<size_t>(length));
}

std::string format_start_command(unsigned long entry) {
    char text[COMMAND_TEXT_SIZE];
    const int length = snprintf(text, sizeof text, CMD_START_FORMAT, entry);
    return std::string(text, static_cast<size_t>(length));
}

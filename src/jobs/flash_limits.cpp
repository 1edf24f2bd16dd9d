// SPDX-License-Identifier: GPL-2.0-or-later
#include "jobs/flash_limits.h"

int64_t flash_round_up(int64_t size) {
    const int64_t rest = size % FLASH_BLOCK;
    return rest == 0 ? size : size - rest + FLASH_BLOCK;
}

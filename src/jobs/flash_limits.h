// SPDX-License-Identifier: GPL-2.0-or-later
// Sizes and positions in the handheld's flash, each named once.
#pragma once

#include <cstdint>

constexpr int64_t FLASH_BLOCK = 0x20000;       // the monitor erases and programs whole 128 KiB blocks
// The whole flash: 16 MiB mapped at physical 0x1F000000, the monitor's area
// (PMON_AREA_START) under the reset vector 0xBFC00000.
constexpr int64_t FLASH_SIZE = 0x1000000;
constexpr int64_t KERNEL_LIMIT = 0x200000;     // largest image at offset 0 (size check on)
constexpr int64_t ROMDISK_LIMIT = 0xB00000;    // largest image at a positive offset (size check on)
constexpr int64_t DOWNLOAD_LIMIT = 0x670000;   // largest image one transfer into RAM carries
constexpr int64_t SPLIT_SIZE = 0x500000;       // exact size of the first piece of a split image
constexpr int64_t PMON_AREA_START = 0xC00000;  // the monitor's own code in flash (target "pmon") ...
constexpr int64_t PMON_AREA_SIZE = 0x80000;    // ... up to 0xC7FFFF inclusive
constexpr int64_t PMON_PROBE_STEP = 0x10000;   // the overwrite guard probes every 64 KiB

// size rounded up to whole flash blocks; 0 stays 0.
int64_t flash_round_up(int64_t size);

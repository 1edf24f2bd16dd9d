// SPDX-License-Identifier: GPL-2.0-or-later
// Target words to flash offsets.
//
// A target is first compared with the keyword table, each keyword over its own
// length only, so "kernel-2.4" means "kernel". Anything else is a hexadecimal
// offset with an optional "0x" (written twice, it is dropped twice). Every
// character of it is examined: only "0".."9", "a".."f" and "A".."F" are
// digits, at least one is needed, leading zeros are allowed, and the value
// must stay below 0x80000000. An empty target or "0x" alone is refused rather
// than taken as offset 0: a script with an unset variable must not overwrite
// the kernel.
#pragma once

#include <cstdint>
#include <optional>

#include "jobs/flash_limits.h"

struct TargetKeyword {
    const char* name;  // matched as a prefix of the target, case-sensitive
    int64_t offset;
};

constexpr TargetKeyword TARGET_KEYWORDS[] = {
    {"kernel", 0}, {"pmon", PMON_AREA_START}, {"romdisk", 0x200000}, {"rootdisk", 0x200000}, {"cramfs", 0x100000},
};

constexpr char HEX_PREFIX[] = "0x";            // lower-case x only; "0X" is an invalid digit
constexpr uint64_t OFFSET_LIMIT = 0x80000000;  // every offset of the handheld's flash lies far below

// A keyword ("kernel", "pmon", "romdisk", "rootdisk", "cramfs", matched as a
// prefix, in that order) or a hexadecimal offset with an optional "0x".
int64_t target_to_offset(const char* target);
// The offset text after an optional "0x": one or more hexadecimal digits
// worth less than OFFSET_LIMIT, or nothing.
std::optional<int64_t> offset_value(const char* text);
// offset_value, or the end of the run with "Error:  invalid offset '%s'" and text.
int64_t parse_offset(const char* text);

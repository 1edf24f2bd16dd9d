// Target words to flash offsets.
#pragma once

#include <cstdint>

// A keyword ("kernel", "pmon", "romdisk", "rootdisk", "cramfs", matched as a
// prefix, in that order) or a hexadecimal offset with an optional "0x".
int64_t target_to_offset(const char* target);
// At most ten hexadecimal digits after an optional "0x"; an invalid digit ends the run.
int64_t parse_offset(const char* text);

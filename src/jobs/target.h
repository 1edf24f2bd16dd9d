// Target words to flash offsets.
//
// A target is first compared with the keyword table, each keyword over its own
// length only, so "kernel-2.4" means "kernel". Anything else is a hexadecimal
// offset with an optional "0x" (written twice, it is dropped twice). The
// parser reads at most ten digits and never looks past the tenth; its digit
// set takes every character from "*" to "?" by its low four bits, so ":" is 10
// and "?" is 15 besides "0".."9", "a".."f" and "A".."F".
#pragma once

#include <cstdint>

struct TargetKeyword {
    const char* name;  // matched as a prefix of the target, case-sensitive
    int64_t offset;
};

constexpr TargetKeyword TARGET_KEYWORDS[] = {
    {"kernel", 0},
    {"pmon", 0xC00000},
    {"romdisk", 0x200000},
    {"rootdisk", 0x200000},
    {"cramfs", 0x100000},
};

constexpr char HEX_PREFIX[] = "0x";     // lower-case x only; "0X" is an invalid digit
constexpr int OFFSET_DIGITS_MAX = 10;   // anything after the tenth digit is not examined

// The value of one offset digit, or -1 for a character outside the set.
int offset_digit_value(char c);
// A keyword ("kernel", "pmon", "romdisk", "rootdisk", "cramfs", matched as a
// prefix, in that order) or a hexadecimal offset with an optional "0x".
int64_t target_to_offset(const char* target);
// At most ten hexadecimal digits after an optional "0x", combined into their
// exact value (never negative); an invalid digit ends the run.
int64_t parse_offset(const char* text);

// SPDX-License-Identifier: GPL-2.0-or-later
// Flash jobs: one record per image to flash, kept in flashing order.
//
// main hands every file/target pair to job_add, which resolves the target to a
// flash offset, checks the image (and has an oversized one split into two
// temporary pieces), and only then appends the job, or its two pieces, to
// job_list. Records live until the process ends; nothing is ever released.
#pragma once

#include <cstdint>
#include <string>

#include "core/file_check.h"

struct RunOptions;

struct FlashJob {
    std::string file_name;  // the image, or a temporary piece of it
    int64_t offset = 0;     // byte offset in flash; the last argument of the flash command
    int64_t size = 0;       // file size when checked; set by the split for pieces
    bool is_temp = false;   // a piece file that the exit cleanup removes
    FlashJob* next_job = nullptr;
    FileCheck checked;  // the file as checked (a piece: as written); it must stay so
};

extern FlashJob* job_list;

// target is nullptr when file is the last word of the command line.
void job_add(const char* file, const char* target, const RunOptions& run_options);
// Links job (and whatever it already chains) behind the last record.
void job_append(FlashJob* job);
// True when both names reach the same file (equal names, or the same inode).
bool same_file(const std::string& a, const std::string& b);

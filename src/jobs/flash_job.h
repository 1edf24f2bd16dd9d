// SPDX-License-Identifier: GPL-2.0-or-later
// Flash jobs: one record per image (or piece of an image) to flash.
//
// A FlashJob is a plain value: the file to send, where it goes in the flash,
// and what the file was when it was checked (its size included, which is the
// one size of the job: the guards, the plan and the flash command all read
// it). A piece is a temporary file that this run made by splitting an image;
// the FileCheck says so, and the exit cleanup removes it (piece_cleanup.h).
// The run's jobs, in flashing order, are a JobList that main builds
// (job_list.h) and hands to whatever reads it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/file_check.h"

struct FlashJob {
    std::string file_name;  // the image, or a temporary piece of it
    int64_t offset = 0;     // byte offset in flash; the last argument of the flash command
    FileCheck checked;      // the file as checked (a piece: as written), size included; it must stay so
};

// The run's jobs in flashing order; a split image takes two places.
using JobList = std::vector<FlashJob>;

// True when the job's file is a piece that this run made.
inline bool is_piece(const FlashJob& job) { return job.checked.is_piece; }
// True when both names reach the same file (equal names, or the same inode).
bool same_file(const std::string& a, const std::string& b);

// SPDX-License-Identifier: GPL-2.0-or-later
// The image of a job in memory, and the pieces that carry its changed blocks (-u).
//
// With -u only the runs of changed blocks cross the line. The job's file is
// read whole once, as checked (a file that is no longer the checked one ends
// the run), so that its block digests and the runs sent are the same bytes.
// Each run becomes a piece of the run's own, "<dir>/<image's base
// name>.at<flash offset in hex>" in the split directory (-t, default /tmp),
// made and held like a split's pieces (piece_claim.h) and removed at exit;
// the sender sends it like any image, with the check taken as it was written.
// Before its flash command the image itself is rechecked, and its bytes over
// the run must still be those that went out (sent_bytes_check.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/file_check.h"
#include "jobs/flash_job.h"

struct RunOptions;

std::vector<unsigned char> read_checked_image(const FlashJob& job);

struct RunPieceFile {
    std::string name;
    FileCheck checked;  // as written
};

// "<dir>/<base>.at<offset>" with offset in lower-case hexadecimal.
std::string run_piece_name(const std::string& dir, const std::string& base, int64_t flash_offset);

// Before the port opens (-u): refuses the run when a name that a piece of
// any job could take (one for each block of the job's image, where a run of
// changed blocks may start) leads to the file of a job of this run, with the
// split's texts (split.h): an image the user gave is never rewritten or
// removed as a piece, whichever blocks turn out changed.
void check_run_piece_names(const JobList& jobs, const RunOptions& run_options);

// A new piece holding length bytes of image from `from`, which the job puts at
// flash offset job.offset + from.
RunPieceFile write_run_piece(const FlashJob& job, const std::vector<unsigned char>& image, int64_t from,
                             int64_t length, const RunOptions& run_options);

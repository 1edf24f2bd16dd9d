// SPDX-License-Identifier: GPL-2.0-or-later
// Splits an image too large for one transfer into two temporary piece files.
//
// The pieces are copied from the image as jobs_for_image opened and judged it;
// an image that changed meanwhile ends the run. The first piece holds exactly
// the image's first SPLIT_SIZE bytes, the second the rest; the split returns
// a job for each, the second SPLIT_SIZE further on in flash than the first,
// each checked as written and marked a piece. Each piece is a new file of
// this run's own, recorded for the exit cleanup the moment it is made
// (piece_claim.h), so a split that fails or is interrupted on its way leaves
// no piece behind either. A split that would overwrite a piece or an image of
// the run is refused.
#pragma once

#include <string>

#include "jobs/flash_job.h"

constexpr int SPLIT_COPY_BLOCK = 1024;  // every read of the image asks for this much
// A piece's name leads to a file of this run: the image whose piece it would
// be, then the run's image or the earlier image's piece found there.
constexpr char OVERWRITES_IMAGE_FORMAT[] = "Error:  '%s' would overwrite '%s', an image of this run";
constexpr char OVERWRITES_PIECE_FORMAT[] = "Error:  '%s' would overwrite the piece '%s' of an earlier image";

// The part of file after its last "/", or all of it.
std::string base_name(const std::string& file);
// Removes one trailing "/", except from the root directory "/" itself.
void strip_trailing_slash(std::string& dir);
// "<dir>/<base>.<number>"; in the root directory "/<base>.<number>".
std::string piece_name(const std::string& dir, const std::string& base, int number);

// The jobs of a split image, in flash order.
struct SplitPieces {
    FlashJob first;   // the image's first SPLIT_SIZE bytes, at the image's offset
    FlashJob second;  // the rest, SPLIT_SIZE further on
};

// Splits the checked image (image.checked is what image_fd is) into its two
// pieces in dir. dir loses one trailing "/" in place. image_fd is the image,
// open at its start. earlier holds the run's jobs so far: a piece must not
// rewrite any of their files.
SplitPieces split_image(const FlashJob& image, std::string& dir, int image_fd, const JobList& earlier);

// SPDX-License-Identifier: GPL-2.0-or-later
// Splits an image too large for one transfer into two temporary piece files.
//
// The pieces are copied from the image as check_image opened and judged it;
// an image that changed meanwhile ends the run. The first piece holds exactly
// the image's first SPLIT_SIZE bytes, the second the rest; the job is rewritten to describe the first piece and a new job for
// the second, SPLIT_SIZE further on in flash, is chained behind it. Both are
// marked temporary. Each piece is a new file of this run's own, recorded for
// the exit cleanup the moment it is made (piece_claim.h), so a split that
// fails or is interrupted on its way leaves no piece behind either. A split
// that would overwrite a piece or an image of the run is refused.
#pragma once

#include <string>

struct FlashJob;

constexpr int SPLIT_COPY_BLOCK = 1024;  // every read of the image asks for this much

// The part of file after its last "/", or all of it.
std::string base_name(const std::string& file);
// Removes one trailing "/", except from the root directory "/" itself.
void strip_trailing_slash(std::string& dir);
// "<dir>/<base>.<number>"; in the root directory "/<base>.<number>".
std::string piece_name(const std::string& dir, const std::string& base, int number);

// On return job describes the first piece and chains a new job for the second,
// each with the check of the piece as written. dir loses one trailing "/" in
// place. image_fd is the image, open at its start.
void split_romdisk(FlashJob& job, std::string& dir, int image_fd);

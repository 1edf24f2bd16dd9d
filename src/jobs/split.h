// Splits an image too large for one transfer into two temporary piece files.
//
// The first piece holds exactly the image's first SPLIT_SIZE bytes, the second
// the rest; the job is rewritten to describe the first piece and a new job for
// the second, SPLIT_SIZE further on in flash, is chained behind it. Both are
// marked temporary, so the exit cleanup removes them once they are on
// job_list. A split that fails on its way removes the pieces it has made
// itself, since they are not on the list yet. Pieces are never written through
// a symbolic link, and a split that would overwrite a piece of an earlier
// image of the run is refused.
#pragma once

#include <string>

struct FlashJob;

constexpr int SPLIT_COPY_BLOCK = 1024;  // every read of the image asks for this much
constexpr int PIECE_MODE = 0644;        // rw-r--r--, subject to the umask

// The part of file after its last "/", or all of it.
std::string base_name(const std::string& file);
// Removes one trailing "/", except from the root directory "/" itself.
void strip_trailing_slash(std::string& dir);
// "<dir>/<base>.<number>"; in the root directory "/<base>.<number>".
std::string piece_name(const std::string& dir, const std::string& base, int number);

// On return job describes the first piece and chains a new job for the second.
// dir loses one trailing "/" in place.
void split_romdisk(FlashJob& job, std::string& dir);

// Splits an image too large for one transfer into two temporary piece files.
#pragma once

#include <string>

struct FlashJob;

// On return job describes the first piece and chains a new job for the second.
// dir loses one trailing "/" in place.
void split_romdisk(FlashJob& job, std::string& dir);

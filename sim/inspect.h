// SPDX-License-Identifier: GPL-2.0-or-later
// The flash file inspected without a handheld: compare it with an image, or
// check that a range is still erased; and sample images made from a seed.
// Used by scripts and the demo.
#pragma once

#include <cstdint>
#include <string>

// Returns the exit status: 0 equal, 1 different, 2 when a file cannot be read.
int inspect_compare(const std::string& flash_path, uint32_t offset, const std::string& image_path);
int inspect_check_erased(const std::string& flash_path, uint32_t offset, uint32_t size);

// Byte `index` of the sample image made from `seed`.
uint8_t sample_image_byte(uint64_t seed, uint64_t index);
int make_sample_image(const std::string& path, uint32_t size, uint64_t seed);

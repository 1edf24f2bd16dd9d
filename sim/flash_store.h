// SPDX-License-Identifier: GPL-2.0-or-later
// The handheld's flash, kept in a file so that it outlives the simulator.
//
// The whole flash is held in memory and every erased or programmed range is
// written through to the file before the monitor reports the block as done,
// so a reader of the file sees each block as soon as the host sees its
// progress line. A missing file is created erased (0xFF) with the monitor's
// own image in its area, so that an overwrite of the monitor is easy to see.
//
// It behaves as NOR flash: erasing sets every bit of a range to 1, and
// programming can only clear bits (the stored byte becomes old AND new), so a
// range holds its data only when it was erased first. A stuck bit stays 0
// through both.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A bit of the flash that no erase sets to 1 any more.
struct StuckBit {
    uint32_t offset = 0;
    uint8_t bit = 0;  // 0 is the least significant
};

struct FlashStore {
    std::string path;
    int fd = -1;
    std::vector<uint8_t> bytes;
    std::vector<StuckBit> stuck;
};

// Byte `index` of the monitor's image: a text header, then a counting pattern.
uint8_t monitor_image_byte(uint32_t index);

// Opens path, or creates it with `size` bytes when it does not exist.
bool flash_open(FlashStore& flash, const std::string& path, uint32_t size, std::string& error);
// Erases the range (the caller has checked it) to 0xFF, stuck bits aside, and writes it through.
bool flash_erase(FlashStore& flash, uint32_t offset, size_t size, std::string& error);
// Programs data at offset (the caller has checked the range): each byte
// becomes itself AND the data's; written through.
bool flash_program(FlashStore& flash, uint32_t offset, const uint8_t* data, size_t size, std::string& error);
// Makes these bits stuck from now on; they read 0 at once (written through).
bool flash_stick_bits(FlashStore& flash, const std::vector<StuckBit>& bits, std::string& error);
void flash_close(FlashStore& flash);

// Index of the first difference between the flash at offset and image, or -1
// when they are equal; a range past the end of the flash differs at its end.
long long flash_first_difference(const std::vector<uint8_t>& flash, uint32_t offset, const std::vector<uint8_t>& image);
// Index of the first byte in the range that is not erased, or -1.
long long flash_first_unerased(const std::vector<uint8_t>& flash, uint32_t offset, uint32_t size);

bool read_whole_file(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);

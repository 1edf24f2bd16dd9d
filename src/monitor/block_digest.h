// SPDX-License-Identifier: GPL-2.0-or-later
// Which flash blocks of a job already hold the image (-u).
//
// Our receiver's digest entry ("g -e a0080260") takes a request for a range,
// shaped like the verify entry's (tag 'D'), and answers ACK, then one line for
// each flash block the range touches, in order, as it digests them:
//   "BLOCK <flash offset, 8 digits> <CRC-64/XZ, 16 digits>"
// the last block over the range's own bytes when the image ends inside it.
// The host digests the same bytes of its image (crc64.h) and calls a block
// unchanged only when the line at that block's place reads exactly so, names
// that block's offset and gives the image's digest. A line lost, damaged, cut
// short or never sent makes its block changed, and so does every later one
// once the lines are out of step: a line is never matched to a block by its
// offset alone, which damage could turn into another block's.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

class LineReader;

// The lines read for a job, one per block; none where no readable line for that block came.
using FlashDigests = std::vector<std::optional<uint64_t>>;

// The image's digest for each block of FLASH_BLOCK bytes, the last over what is left.
std::vector<uint64_t> image_block_digests(const std::vector<unsigned char>& image);

// The digest of a line that reads exactly "BLOCK <offset> <digest>" for this offset.
std::optional<uint64_t> read_digest_line(std::string_view line, uint32_t offset);

// Consecutive changed blocks: the first block and how many.
struct BlockRun {
    int first = 0;
    int count = 0;
};

// For each block of the image: true when the flash's digest is missing or differs.
std::vector<bool> changed_blocks(const std::vector<uint64_t>& image, const FlashDigests& flash);
// The runs of changed blocks, in order.
std::vector<BlockRun> block_runs(const std::vector<bool>& changed);

// Has the digest entry report the blocks of length bytes at offset (the
// monitor at its prompt, offset on a block); one entry per block.
FlashDigests read_flash_digests(LineReader& line, int64_t offset, uint32_t length);

// SPDX-License-Identifier: GPL-2.0-or-later
#include "monitor/block_digest.h"

#include <algorithm>

#include "jobs/flash_limits.h"
#include "monitor/flash_verify.h"
#include "monitor/monitor_commands.h"
#include "monitor/monitor_prompt.h"
#include "serial/line_reader.h"
#include "transfer/crc64.h"
#include "transfer/hex_text.h"

namespace {

constexpr char OFFER[] = "DIGEST";
constexpr unsigned char DIGEST_TAG = 'D';
constexpr std::string_view LINE_TAG = "BLOCK ";
constexpr size_t OFFSET_DIGITS = 8;
constexpr size_t DIGEST_DIGITS = 16;
constexpr size_t LINE_LENGTH = LINE_TAG.size() + OFFSET_DIGITS + 1 + DIGEST_DIGITS;
constexpr size_t HALF_DIGITS = 8;  // hex_value reads at most 32 bits

}  // namespace

std::vector<uint64_t> image_block_digests(const std::vector<unsigned char>& image) {
    std::vector<uint64_t> digests;
    for (size_t from = 0; from < image.size(); from += FLASH_BLOCK)
        digests.push_back(crc64_update(0, image.data() + from, std::min<size_t>(FLASH_BLOCK, image.size() - from)));
    return digests;
}

std::optional<uint64_t> read_digest_line(std::string_view line, uint32_t offset) {
    if (line.size() != LINE_LENGTH || !line.starts_with(LINE_TAG) || line[LINE_TAG.size() + OFFSET_DIGITS] != ' ')
        return std::nullopt;
    const auto named = hex_value(line.substr(LINE_TAG.size(), OFFSET_DIGITS), HexCase::lower);
    const std::string_view digest = line.substr(LINE_TAG.size() + OFFSET_DIGITS + 1);
    const auto high = hex_value(digest.substr(0, HALF_DIGITS), HexCase::lower);
    const auto low = hex_value(digest.substr(HALF_DIGITS), HexCase::lower);
    if (!named || *named != offset || !high || !low) return std::nullopt;
    return uint64_t{*high} << 32 | *low;
}

std::vector<bool> changed_blocks(const std::vector<uint64_t>& image, const FlashDigests& flash) {
    std::vector<bool> changed(image.size(), true);
    for (size_t k = 0; k < image.size() && k < flash.size(); ++k) changed[k] = flash[k] != image[k];
    return changed;
}

std::vector<BlockRun> block_runs(const std::vector<bool>& changed) {
    std::vector<BlockRun> runs;
    for (size_t k = 0; k < changed.size(); ++k) {
        if (!changed[k]) continue;
        if (!runs.empty() && runs.back().first + runs.back().count == static_cast<int>(k))
            ++runs.back().count;
        else
            runs.push_back({static_cast<int>(k), 1});
    }
    return runs;
}

FlashDigests read_flash_digests(LineReader& line, int64_t offset, uint32_t length) {
    const size_t blocks = static_cast<size_t>((length + FLASH_BLOCK - 1) / FLASH_BLOCK);
    FlashDigests digests(blocks);
    if (!flash_request_taken(line, {LOADER_DIGEST_ENTRY, OFFER, DIGEST_TAG}, offset, length)) return digests;
    // Each line comes once its block is digested, well within one wait of the line reader.
    for (size_t k = 0; k < blocks; ++k) {
        if (line.readline() != 0 || line_has_prompt(line.line())) break;
        digests[k] =
            read_digest_line(line.line(), static_cast<uint32_t>(offset + static_cast<int64_t>(k) * FLASH_BLOCK));
    }
    return digests;
}

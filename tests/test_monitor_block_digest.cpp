// SPDX-License-Identifier: GPL-2.0-or-later
// -u's verdicts: a digest line read only when it is exactly the one for its
// block, a block unchanged only with the image's digest, and the runs of
// changed blocks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/block_digest.h"

namespace {

TEST(BlockDigest, ReadsALineOnlyWhenItIsExactlyTheOneForItsBlock) {
    struct Case {
        const char* name;
        std::string line;
        std::optional<uint64_t> digest;
    };
    const Case cases[] = {
        {"the block's line", "BLOCK 00240000 995dc9bbdf1939fa", 0x995dc9bbdf1939faull},
        {"the extremes", "BLOCK 00240000 ffffffff00000000", 0xffffffff00000000ull},
        {"another block's offset", "BLOCK 00260000 995dc9bbdf1939fa", std::nullopt},
        {"an upper-case digit", "BLOCK 00240000 995DC9bbdf1939fa", std::nullopt},
        {"a digit short", "BLOCK 00240000 995dc9bbdf1939f", std::nullopt},
        {"a character too many", "BLOCK 00240000 995dc9bbdf1939fa0", std::nullopt},
        {"a damaged tag", "BLOCk 00240000 995dc9bbdf1939fa", std::nullopt},
        {"a damaged separator", "BLOCK 00240000-995dc9bbdf1939fa", std::nullopt},
        {"noise in the digest", "BLOCK 00240000 995dc9bb\x01\x66\x31\x39\x33\x39\x66\x61", std::nullopt},
        {"the verify entry's report", "CRC32 1c291ca3 00020000", std::nullopt},
        {"nothing", "", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(read_digest_line(c.line, 0x240000), c.digest) << c.name;
}

TEST(BlockDigest, CallsABlockUnchangedOnlyWithTheImagesDigest) {
    const std::vector<uint64_t> image = {1, 2, 3, 4};
    // Matching, different, missing, and a report one block short.
    const FlashDigests flash = {1, 7, std::nullopt};
    EXPECT_EQ(changed_blocks(image, flash), (std::vector<bool>{false, true, true, true}));
    EXPECT_EQ(changed_blocks(image, FlashDigests{}), (std::vector<bool>{true, true, true, true}));
    EXPECT_TRUE(changed_blocks({}, FlashDigests{}).empty());
}

TEST(BlockDigest, GathersConsecutiveChangedBlocksIntoRuns) {
    struct Case {
        std::vector<bool> changed;
        std::vector<std::pair<int, int>> runs;  // first, count
    };
    const Case cases[] = {
        {{}, {}},
        {{false, false}, {}},
        {{true, true, true}, {{0, 3}}},
        {{true, false, true, false, true}, {{0, 1}, {2, 1}, {4, 1}}},
        {{false, true, true, false, true, true}, {{1, 2}, {4, 2}}},
    };
    for (const Case& c : cases) {
        std::vector<std::pair<int, int>> runs;
        for (const BlockRun& run : block_runs(c.changed)) runs.emplace_back(run.first, run.count);
        EXPECT_EQ(runs, c.runs) << testing::PrintToString(c.changed);
    }
}

TEST(BlockDigest, DigestsTheImageByBlocksTheLastOverWhatIsLeft) {
    const std::vector<unsigned char> image(0x20000 + 9, 0);
    std::vector<unsigned char> tail(image.begin() + 0x20000, image.end());
    const std::vector<uint64_t> digests = image_block_digests(image);
    ASSERT_EQ(digests.size(), 2u);
    EXPECT_EQ(digests[1], image_block_digests(tail)[0]);
    EXPECT_NE(digests[0], digests[1]);
    EXPECT_TRUE(image_block_digests({}).empty());
}

}  // namespace

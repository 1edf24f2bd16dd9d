// SPDX-License-Identifier: GPL-2.0-or-later
// The flash as NOR flash (erase to ones, program only clears bits, stuck bits
// stay 0), and the seeded choice of the bits that stick.
#include "flash_faults.h"
#include "flash_store.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <bit>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr uint32_t FLASH_SIZE = 0x2000;

class NorFlash : public testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(flash_open(flash, dir.file("flash.bin"), FLASH_SIZE, error)) << error;
    }
    void TearDown() override { flash_close(flash); }

    void program(uint32_t offset, const std::vector<uint8_t>& data) {
        std::string error;
        ASSERT_TRUE(flash_program(flash, offset, data.data(), data.size(), error)) << error;
    }
    void erase(uint32_t offset, uint32_t size) {
        std::string error;
        ASSERT_TRUE(flash_erase(flash, offset, size, error)) << error;
    }
    // The bytes in memory, and the same in the file.
    std::vector<uint8_t> at(uint32_t offset, uint32_t size) {
        const std::string file = testkit::read_file(dir.file("flash.bin")).substr(offset, size);
        std::vector<uint8_t> held(flash.bytes.begin() + offset, flash.bytes.begin() + offset + size);
        EXPECT_EQ(std::string(held.begin(), held.end()), file) << "the file lags behind";
        return held;
    }

    testkit::TempDir dir;
    FlashStore flash;
};

TEST_F(NorFlash, ProgrammingClearsBitsAndOnlyAnEraseSetsThemAgain) {
    program(0x100, {0xF0, 0x0F, 0xAA});
    EXPECT_EQ(at(0x100, 3), (std::vector<uint8_t>{0xF0, 0x0F, 0xAA}));
    program(0x100, {0x3C, 0xFF, 0x55});  // over data that was not erased
    EXPECT_EQ(at(0x100, 3), (std::vector<uint8_t>{0x30, 0x0F, 0x00}));
    erase(0x101, 1);
    EXPECT_EQ(at(0x100, 3), (std::vector<uint8_t>{0x30, 0xFF, 0x00}));
    program(0x101, {0x5A});
    EXPECT_EQ(at(0x100, 3), (std::vector<uint8_t>{0x30, 0x5A, 0x00}));
}

TEST_F(NorFlash, AStuckBitReadsZeroAtOnceAndStaysZeroThroughEveryErase) {
    std::string error;
    ASSERT_TRUE(flash_stick_bits(flash, {{0x200, 0}, {0x1FFF, 7}}, error)) << error;
    EXPECT_EQ(at(0x200, 1), std::vector<uint8_t>{0xFE});
    EXPECT_EQ(at(0x1FFF, 1), std::vector<uint8_t>{0x7F});
    erase(0, FLASH_SIZE);
    program(0x200, {0xFF, 0xFF});
    EXPECT_EQ(at(0x200, 2), (std::vector<uint8_t>{0xFE, 0xFF}));
    EXPECT_EQ(at(0x1FFF, 1), std::vector<uint8_t>{0x7F});
}

std::set<std::pair<uint32_t, unsigned>> as_set(const std::vector<StuckBit>& bits) {
    std::set<std::pair<uint32_t, unsigned>> set;
    for (const StuckBit& b : bits) set.insert({b.offset, b.bit});
    return set;
}

// Each chosen bit is a distinct 1-bit of the data, so that it shows.
TEST(StuckBits, AreDistinctOneBitsOfTheDataAsManyAsItHas) {
    std::vector<uint8_t> dense(512);
    for (size_t i = 0; i < dense.size(); ++i) dense[i] = static_cast<uint8_t>(i * 37 + 5);
    const std::vector<uint8_t> sparse = {0, 0, 0x10, 0, 0x81, 0};
    const std::vector<uint8_t> zeros(64, 0);
    struct Case {
        const char* name;
        const std::vector<uint8_t>& data;
        unsigned asked;
        size_t chosen;
    };
    const Case cases[] = {
        {"a few among many", dense, 5, 5},
        {"every one there is", sparse, 3, 3},
        {"no more than there are", sparse, 10, 3},
        {"none in data without a 1-bit", zeros, 4, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FaultRng rng;
        fault_rng_seed(rng, 11);
        const std::vector<StuckBit> bits =
            choose_stuck_bits(rng, c.data.data(), static_cast<uint32_t>(c.data.size()), 0x40000, c.asked);
        EXPECT_EQ(bits.size(), c.chosen);
        EXPECT_EQ(as_set(bits).size(), bits.size()) << "a bit chosen twice";
        for (const StuckBit& b : bits) {
            ASSERT_GE(b.offset, 0x40000u);
            ASSERT_LT(b.offset - 0x40000u, c.data.size());
            EXPECT_TRUE(c.data[b.offset - 0x40000] >> b.bit & 1) << b.offset << " bit " << unsigned(b.bit);
        }
    }
}

TEST(StuckBits, TheSeedDecidesWhichBits) {
    std::vector<uint8_t> data(4096, 0xFF);
    auto choose = [&](uint64_t seed) {
        FaultRng rng;
        fault_rng_seed(rng, seed);
        return as_set(choose_stuck_bits(rng, data.data(), static_cast<uint32_t>(data.size()), 0, 8));
    };
    EXPECT_EQ(choose(3), choose(3));
    EXPECT_NE(choose(3), choose(4));
}

TEST(SkippedBlock, IsTheKthBlockOfTheRunAndOnlyThatOne) {
    FlashFaultState state;
    std::vector<unsigned> skipped;
    for (unsigned block = 1; block <= 6; ++block)
        if (flash_block_skipped(state, 4)) skipped.push_back(block);
    EXPECT_EQ(skipped, std::vector<unsigned>{4});

    FlashFaultState none;
    for (int block = 0; block < 6; ++block) EXPECT_FALSE(flash_block_skipped(none, 0));
}

}  // namespace

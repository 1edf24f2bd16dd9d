// SPDX-License-Identifier: GPL-2.0-or-later
// The loader's CRC-32 unit, built for the host: both ways of feeding it, a
// block at a time and a byte at a time on the register, give zlib's crc32,
// also when a stream is digested in pieces.
extern "C" {
#include "crc32.h"
}

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

namespace {

unsigned zlib_crc(const std::vector<unsigned char>& data, size_t from, size_t to, unsigned crc = 0) {
    return static_cast<unsigned>(crc32(crc, data.data() + from, static_cast<uInt>(to - from)));
}

TEST(LoaderCrc32, EqualsZlibsCrc32BlockwiseBytewiseAndInPieces) {
    std::mt19937 random(42);
    for (size_t size : {0, 1, 2, 3, 127, 128, 129, 1000, 65536}) {
        SCOPED_TRACE(size);
        std::vector<unsigned char> data(size);
        for (unsigned char& byte : data) byte = static_cast<unsigned char>(random());
        const unsigned expected = zlib_crc(data, 0, size);

        EXPECT_EQ(crc32_update(0, data.data(), static_cast<unsigned>(size)), expected);

        unsigned reg = crc32_open(0);
        for (unsigned char byte : data) reg = crc32_step(reg, byte);
        EXPECT_EQ(crc32_close(reg), expected);

        // Pieces continue from the value so far, as the loader does packet by packet.
        const size_t cut = size / 3;
        const unsigned first = crc32_update(0, data.data(), static_cast<unsigned>(cut));
        EXPECT_EQ(first, zlib_crc(data, 0, cut));
        EXPECT_EQ(crc32_update(first, data.data() + cut, static_cast<unsigned>(size - cut)), expected);
    }
}

}  // namespace

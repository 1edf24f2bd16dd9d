// SPDX-License-Identifier: GPL-2.0-or-later
#include "transfer/crc64.h"

#include <array>

namespace {

constexpr uint64_t POLYNOMIAL = 0xC96C5795D7870F42;  // ECMA-182, reflected

constexpr std::array<uint64_t, 256> make_table() {
    std::array<uint64_t, 256> table{};
    for (uint64_t n = 0; n < table.size(); ++n) {
        uint64_t reg = n;
        for (int bit = 0; bit < 8; ++bit) reg = (reg >> 1) ^ ((reg & 1) != 0 ? POLYNOMIAL : 0);
        table[n] = reg;
    }
    return table;
}

constexpr std::array<uint64_t, 256> TABLE = make_table();

}  // namespace

uint64_t crc64_update(uint64_t crc, const unsigned char* data, size_t length) {
    uint64_t reg = ~crc;
    for (size_t i = 0; i < length; ++i) reg = (reg >> 8) ^ TABLE[(reg ^ data[i]) & 0xFF];
    return ~reg;
}

// SPDX-License-Identifier: GPL-2.0-or-later
// The host's side of the loader's two entries that read the flash, verify
// ('V': one CRC-32 of a range) and digest ('D': one CRC-64 a block): the
// flash they read, the request they take (tag, offset, length, and the CRC-32
// of those eight bytes), the offer the host hears before it asks, and where
// they may store. Both entries take the same request but for the tag.
#pragma once

#include "firmware/loader_machine.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

// A flash of `size` bytes, random but the same for the same seed.
inline std::vector<std::uint8_t> random_flash(unsigned seed, std::size_t size) {
    std::mt19937 random(seed);
    std::vector<std::uint8_t> bytes(size);
    for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
    return bytes;
}

inline void put_le32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

// `tag`, offset, length, and the CRC-32 of those eight bytes (plus check_error).
inline std::vector<std::uint8_t> flash_request(char tag, std::uint32_t offset, std::uint32_t length,
                                               std::uint32_t check_error) {
    std::vector<std::uint8_t> fields;
    put_le32(fields, offset);
    put_le32(fields, length);
    put_le32(fields, static_cast<std::uint32_t>(crc32(0, fields.data(), 8)) + check_error);
    fields.insert(fields.begin(), static_cast<std::uint8_t>(tag));
    return fields;
}

// The host reads the whole offer before it sends its request.
inline void hear_offer(LoaderMachine& machine, const std::string& offer) {
    for (std::size_t i = 0; i < offer.size(); i++) machine.pause();
}

// The request, then a wait for the answer.
inline void ask(LoaderMachine& machine, const std::vector<std::uint8_t>& bytes) {
    machine.send(bytes);
    machine.pause();
}

// Maps `flash`, lets the host hear `offer`, asks each request in turn (each
// answered before the next) and runs the entry at `entry`.
inline void run_asked(LoaderMachine& machine, const std::vector<std::uint8_t>& flash, const std::string& offer,
                      std::initializer_list<std::vector<std::uint8_t>> requests, std::uint32_t entry) {
    machine.map_flash(flash);
    hear_offer(machine, offer);
    for (const std::vector<std::uint8_t>& bytes : requests) ask(machine, bytes);
    machine.run(entry);
}

// The entry stored nothing but on its stack, within `room` bytes of its top.
inline void expect_stores_only_on_stack(const LoaderMachine& machine, std::uint32_t room) {
    const std::uint32_t stack = machine.stack_top & PHYS_MASK;
    for (const StoreRecord& store : machine.stores)
        EXPECT_TRUE(store.physical >= stack - room && store.physical + store.size <= stack)
            << std::hex << "store of " << store.size << " bytes at physical 0x" << store.physical;
}

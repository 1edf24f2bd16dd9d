// SPDX-License-Identifier: GPL-2.0-or-later
// XMODEM packets as they cross the line, for tests that play or check a sender.
#pragma once

#include <cstddef>
#include <string>

// One packet: SOH for 128 bytes of data, STX for 1024, then the block number
// (modulo 256), its complement, the data and their 8-bit sum.
std::string xmodem_packet(std::size_t block, const std::string& data);
// Block `block` (1-based) of `file` in 128-byte packets, the last one filled
// with SUB; a file of whole packets ends with one packet of filler.
std::string xmodem_file_packet(const std::string& file, std::size_t block);
// How many 128-byte packets carry `file_size` bytes.
std::size_t xmodem_packet_count(std::size_t file_size);

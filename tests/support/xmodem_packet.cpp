// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/xmodem_packet.h"

#include <algorithm>

#include "transfer/control_bytes.h"
#include "transfer/xmodem.h"

std::string xmodem_packet(std::size_t block, const std::string& data) {
    unsigned sum = 0;
    for (unsigned char c : data) sum += c;
    const auto number = static_cast<unsigned char>(block % 256);
    std::string packet;
    packet += static_cast<char>(data.size() == std::size_t{XMODEM_1K_DATA_SIZE} ? STX : SOH);
    packet += static_cast<char>(number);
    packet += static_cast<char>(0xFF - number);
    packet += data;
    packet += static_cast<char>(sum & 0xFF);
    return packet;
}

std::string xmodem_file_packet(const std::string& file, std::size_t block) {
    constexpr std::size_t size = XMODEM_DATA_SIZE;
    std::string data = file.substr(std::min(file.size(), (block - 1) * size), size);
    data.resize(size, static_cast<char>(XMODEM_FILLER));
    return xmodem_packet(block, data);
}

std::size_t xmodem_packet_count(std::size_t file_size) { return file_size / XMODEM_DATA_SIZE + 1; }

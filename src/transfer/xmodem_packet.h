// SPDX-License-Identifier: GPL-2.0-or-later
// The sizes of an XMODEM packet on the wire, for the sender and for what
// stops a receiver (receiver_session.h), which must fill a packet with CANs.
#pragma once

constexpr int XMODEM_DATA_SIZE = 128;
constexpr int XMODEM_PACKET_SIZE = 132;  // SOH, block, ~block, 128 data, checksum
constexpr int XMODEM_1K_DATA_SIZE = 1024;
constexpr int XMODEM_1K_PACKET_SIZE = 1029;  // STX, block, ~block, 1024 data, checksum

// SPDX-License-Identifier: GPL-2.0-or-later
// Control bytes of the XMODEM and ETX/ACK protocols.
#pragma once

constexpr unsigned char SOH = 0x01;
constexpr unsigned char STX = 0x02;  // a 1024-byte packet (our receiver's fast entry only)
constexpr unsigned char ETX = 0x03;
constexpr unsigned char EOT = 0x04;
constexpr unsigned char ACK = 0x06;
constexpr unsigned char NAK = 0x15;
constexpr unsigned char CAN = 0x18;
constexpr unsigned char XMODEM_FILLER = 0x1A;  // pads the last packet

// SPDX-License-Identifier: GPL-2.0-or-later
// The line a run prints on how fast its transfer went.
//
// XMODEM waits for the receiver's ACK after every packet, so a USB adapter
// that holds received bytes for its latency timer (16 ms on common ones) adds
// that much to every 128-byte packet: a 1 MiB image takes minutes instead of
// 96 s. A run at the monitor's rate whose transfer of a large image ran below
// half the protocol's ideal says so and points to -b, which sends 1 KiB
// packets on a fast line and asks the driver for low latency. A -b run always
// says which rate its transfer got and what it carried. The figures are the
// transfer's own: from the receiver's first NAK to the ACK of EOT, as the
// caller times xmodem_send, and the bytes it returned.
#pragma once

#include <cstdint>
#include <string>

// Images smaller than this end before a slow line shows.
constexpr int64_t SPEED_NOTE_MIN_BYTES = 256 * 1024;
// Below this share of the ideal the line is slow for a reason worth telling.
constexpr double SPEED_NOTE_SHARE = 0.5;
// The rate -b suggests: the fastest that common adapters and the receiver take.
constexpr unsigned long SUGGESTED_FAST_RATE = 921600;

// Payload bytes a second that XMODEM can carry at rate bit/s (10 bits a byte)
// with packets of data_size bytes: packet_size bytes and one ACK per packet.
double xmodem_ideal(unsigned long rate, int data_size, int packet_size);

struct TransferSpeed {
    int64_t bytes = 0;              // what xmodem_send returned
    double seconds = 0.0;           // how long xmodem_send took
    unsigned long asked_rate = 0;   // -b, or 0
    unsigned long line_rate = 0;    // the rate the transfer ran at
};

// The line to print after the transfer (with its line end), or an empty text.
std::string transfer_speed_note(const TransferSpeed& speed);

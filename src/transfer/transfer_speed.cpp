// SPDX-License-Identifier: GPL-2.0-or-later
#include "transfer/transfer_speed.h"

#include <cstdio>

#include "serial/line_speed.h"
#include "transfer/xmodem.h"

namespace {

constexpr double BITS_PER_BYTE = 10.0;  // 8N1: start, eight data bits, stop
constexpr int ACK_BYTES = 1;            // the receiver's answer to each packet
constexpr int NOTE_SIZE = 512;

}  // namespace

double xmodem_ideal(unsigned long rate, int data_size, int packet_size) {
    return static_cast<double>(rate) / BITS_PER_BYTE * data_size / (packet_size + ACK_BYTES);
}

std::string transfer_speed_note(const TransferSpeed& speed) {
    if (speed.seconds <= 0.0 || speed.bytes <= 0) return "";
    const double rate = static_cast<double>(speed.bytes) / speed.seconds;
    char note[NOTE_SIZE];
    if (speed.asked_rate != 0) {
        std::snprintf(note, sizeof note, "Transfer ran at %lu bit/s%s: %lld bytes in %.1f s (%.0f bytes/s)\n",
                      speed.line_rate, speed.line_rate == speed.asked_rate ? "" : " (the fast line was not taken)",
                      static_cast<long long>(speed.bytes), speed.seconds, rate);
        return note;
    }
    const double ideal = xmodem_ideal(MONITOR_RATE, XMODEM_DATA_SIZE, XMODEM_PACKET_SIZE);
    if (speed.bytes < SPEED_NOTE_MIN_BYTES || rate >= SPEED_NOTE_SHARE * ideal) return "";
    std::snprintf(note, sizeof note,
                  "Slow transfer: %.0f bytes/s, %.0f%% of the %.0f bytes/s XMODEM carries at %lu bit/s; the "
                  "likely cause is the USB adapter's latency.  Try -b %lu.\n",
                  rate, 100.0 * rate / ideal, ideal, MONITOR_RATE, SUGGESTED_FAST_RATE);
    return note;
}

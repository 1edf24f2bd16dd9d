// SPDX-License-Identifier: GPL-2.0-or-later
// The steps of one XMODEM transfer (xmodem.cpp), for the streamed sender
// (stream_send.h), which opens, checks, reads and digests the file as the
// XMODEM sender does, and for the tests that drive a step alone. Other
// modules send through xmodem_send and never include this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/file_check.h"
#include "serial/line_assembly.h"
#include "transfer/progress.h"
#include "transfer/xmodem_digest.h"
#include "transfer/xmodem_packet.h"

constexpr size_t XMODEM_START_TEXT_MAX = 1024;  // of the text before the first NAK, kept for a caller

// One transfer in hand: the file, the port, the packet in wire order and
// what the receiver acknowledged so far.
struct XmodemTransfer {
    int file_fd = -1;
    int port_fd = -1;
    const char* file_name = nullptr;
    unsigned char packet[XMODEM_1K_PACKET_SIZE] = {};
    int block_number = 1;
    XmodemDigest digest;
    bool large_packets = false;        // whole 1024-byte blocks as STX packets
    int64_t unsent = 0;                // file bytes not yet read into a packet
    FileCheck check;                   // the file as it must be: its size is what is sent
    int data_size = XMODEM_DATA_SIZE;  // of the packet in hand
    int64_t image_size = 0;            // the file's size when it was opened
    bool eot_sent = false;             // an ACK now ends the transfer
    ProgressMeter* meter = nullptr;    // advanced by every acknowledged packet
    // The caller's: a text that shows the receiver gave up and the monitor is back.
    LineEndRule monitor_prompt = nullptr;
};

// Opens the file for a transfer on port_fd, checked as xmodem_send checks it,
// and starts transfer.meter (which must be set) for its size.
void xmodem_open(XmodemTransfer& transfer, const char* file_name, int port_fd, const FileCheck* checked);
// Reads until the receiver's first NAK; what came before goes to start_text
// (when given), up to XMODEM_START_TEXT_MAX bytes.
void xmodem_await_start(XmodemTransfer& transfer, std::string* start_text);
// Adds the data of the packet in hand to the transfer's digest.
void xmodem_digest_packet(XmodemTransfer& transfer);
// True when the block just read is the last one.
bool xmodem_readblock(XmodemTransfer& transfer);
// The 8-bit sum of the data of the packet in hand.
unsigned char xmodem_checksum(const XmodemTransfer& transfer);
// Writes the packet in hand, numbered and summed, whole.
void xmodem_sendline(XmodemTransfer& transfer);
// The next byte from the receiver; ends the run after ten silent waits.
unsigned char xmodem_getbyte(XmodemTransfer& transfer);

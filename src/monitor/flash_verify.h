// SPDX-License-Identifier: GPL-2.0-or-later
// Reading the flash back (-V): does the flash hold the image just programmed?
//
// Our receiver's verify entry ("g -e a0080240") computes the CRC-32 of a range
// of the flash as the processor reads it at 0xBF000000 + offset, which is
// where we take the flash to appear (the monitor runs from 0xBFC00000, flash
// offset 0xC00000). The exchange, at the monitor's rate:
//   receiver  "VERIFY"
//   host      'V', offset, length (four bytes each, low byte first) and zlib's
//             CRC-32 of those eight bytes
//   receiver  ACK, then "CRC32 <crc> <length>" once the range is digested; or
//             NAK for a request that did not arrive whole, after which the
//             host sends it again (three requests in all)
// The report is awaited like any line (50 s), and 50 s more for every 8 MiB
// of the range, which the receiver digests at some 4 us a byte. It must give
// the length asked for and the CRC-32 of the image's own bytes. Lines that come instead of it (a monitor's exception where the flash
// is not where we take it to be) are shown as warnings; no report, or one that
// does not read right, proves nothing and ends the run like a wrong one.
// The digest entry of -u (block_digest.h) takes its request the same way.
#pragma once

#include <array>
#include <cstdint>

#include "transfer/receiver_crc.h"

class LineReader;

constexpr int FLASH_CRC_REQUEST_SIZE = 13;  // tag, offset, length, check
constexpr unsigned char VERIFY_TAG = 'V';

// The request's bytes for this range.
std::array<unsigned char, FLASH_CRC_REQUEST_SIZE> flash_crc_request(uint32_t offset, uint32_t length,
                                                                    unsigned char tag = VERIFY_TAG);

// An entry of our receiver that reads the flash: where it starts, the line it
// offers itself with, and the tag its request begins with.
struct FlashRequest {
    unsigned long entry;
    const char* offer;
    unsigned char tag;
};

// Starts the entry (the monitor at its prompt), waits for its offer and has
// it take the request for length bytes at the flash's offset: true once it
// has answered ACK, false when it never did.
bool flash_request_taken(LineReader& line, const FlashRequest& request, int64_t offset, uint32_t length);

enum class FlashCheck {
    holds,    // the report matches the image
    differs,  // a readable report of another CRC
    missing,  // no report, or one that does not read right or is for another length
};

FlashCheck judge_flash_crc(const ReceiverCrc& report, uint32_t length, uint32_t image_crc);

// Has the verify entry report the CRC-32 of length bytes at the flash's
// offset (the monitor at its prompt); the report as read, or none.
ReceiverCrc read_flash_crc(LineReader& line, int64_t offset, uint32_t length);

// Ends the run unless the flash at offset holds length bytes with image_crc;
// announced as "Verifying flash..." and closed with "done".
void verify_flash(LineReader& line, const char* file_name, int64_t offset, int64_t length, uint32_t image_crc);

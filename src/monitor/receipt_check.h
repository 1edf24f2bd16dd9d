// SPDX-License-Identifier: GPL-2.0-or-later
// Whether an image reached the handheld's RAM as it was sent.
//
// Our receiver reports the CRC-32 and the count of the bytes it stored; the
// sender keeps the same over the packets the receiver acknowledged. A report
// that differs means damage the 8-bit checksum let through. A report that
// cannot be read, or none at all from the receiver this run uploaded, leaves
// the data unproven: a damaged line must not switch the check off. Only a
// receiver the run did not upload (-X: it may be another one, which reports
// nothing) is trusted without a report. Every verdict but a good one ends the
// run before the flash command, so nothing is programmed.
#pragma once

#include <string_view>

#include "transfer/receiver_crc.h"
#include "transfer/xmodem.h"

enum class Receipt {
    confirmed,  // the report matches what was sent
    damaged,    // the report differs
    missing,    // no readable report, where one is due
    unchecked,  // no report from a receiver that need not give one
};

Receipt judge_receipt(const ReceiverCrc& report, const XmodemDigest& sent, bool receiver_ours);

// The report in the text the wake-up after the transfer drained, or, when the
// drain ended early (a pause of the handheld's), in that text continued by the
// line read after it, or in that line alone. A readable report wins over an
// unreadable one, which wins over none.
ReceiverCrc find_receipt(std::string_view drained, std::string_view line);

// Ends the run unless find_receipt's report confirms the image or need not.
void check_receipt(std::string_view drained, std::string_view line, const XmodemDigest& sent, bool receiver_ours,
                   const char* file_name);

// SPDX-License-Identifier: GPL-2.0-or-later
// XMODEM sender: 128-byte blocks, 8-bit checksum, started by the receiver's NAK.
//
// With large packets (only our receiver's fast entry takes them) every whole
// 1024-byte block of the file goes as an STX packet and the rest as 128-byte
// SOH packets, the last one filled, so the receiver stores exactly what the
// 128-byte path stores; the rules for answers and resends are the same. A
// caller that has already consumed the receiver's first NAK says so.
//
// It owns the serial descriptor for the length of one transfer and reads and
// writes it directly, one byte per read; nothing goes to the capture log. The
// packet is kept in wire order so that one write sends it and a resend writes
// the same bytes again. Each awaited byte gets ten waits of 5 s; between
// the receiver's first NAK and EOT a one-second SIGALRM asks the progress meter
// for a redraw, and a wait it cuts short counts as one of the ten. The
// receiver's first NAK is awaited no longer than those 50 s in all, whatever
// else the line brings meanwhile. Every failure ends the program through
// error_exit.
//
// Before anything is sent again the sender makes sure the receiver is still
// there (sender_guard.h): a reply read after the process was stopped and
// continued is stale, and the receiver is asked with a probe first; a reply we
// do not know with bytes right behind it is the receiver's give-up, damaged,
// and ends the sending instead of a resend.
//
// Every packet the receiver acknowledges, the filled last one included, is
// added to a CRC-32 (zlib's crc32), which the caller compares with the one our
// receiver reports: the 8-bit checksum misses damage that keeps the byte sum.
// The file's own bytes, the filler after them left out, go into a second
// CRC-32, which a read-back of the flash over the file's length must match.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstddef>
#include <string>

#include "core/file_check.h"
#include "serial/line_assembly.h"
#include "transfer/progress.h"
#include "transfer/xmodem_digest.h"
#include "transfer/xmodem_packet.h"

struct XmodemOptions {
    bool large_packets = false;
    bool start_nak_seen = false;         // the receiver's first NAK was read by the caller
    const FileCheck* checked = nullptr;  // the file as checked before the run began
    std::string* start_text = nullptr;   // receives what came before the first NAK (the start command's echo), up to 1024 bytes
    ProgressMeter* meter = nullptr;      // the meter the transfer advances; one of its own when none is given
    // The monitor's prompt: the receiver gave up and is back there.
    LineEndRule monitor_prompt = nullptr;
};

// Returns the file's size once the receiver has acknowledged EOT; with digest,
// also what the receiver acknowledged. With options.checked, the file opened
// must be the checked file, unchanged (file_check.h), and its checked size is
// what is sent. Either way the file is read to its end: one that yields more
// or fewer bytes than that size ends the run with "Error:  '%s' changed since
// it was checked.  Aborting." before the packet that would have ended the
// transfer goes out.
int64_t xmodem_send(const char* file_name, int port_fd, XmodemDigest* digest = nullptr, XmodemOptions options = {});

// The packet write seam: tests replace it to imitate a port that takes part of
// a packet per write. nullptr restores write(2).
using XmodemWriter = ssize_t (*)(int fd, const void* data, size_t length);
void set_xmodem_writer(XmodemWriter writer);

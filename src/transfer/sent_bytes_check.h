// SPDX-License-Identifier: GPL-2.0-or-later
// Proof that the bytes sent were the file's bytes.
//
// The checks by name, size and times miss a file rewritten in place through a
// shared mapping: such writes need not move its modification or change time.
// So after the transfer the file is read again, over its checked size, and
// the CRC-32 of what it holds now must equal the CRC-32 of the file bytes
// that went out (the filler after them left out); a difference, a short read
// or a failed read means the flash would hold neither the file as checked nor
// the file as it is, and the run ends with
//   "Error:  '%s' changed since it was checked.  Aborting."
#pragma once

#include <cstdint>

#include "core/file_check.h"

// Ends the run unless the file named holds, over check.size bytes, what has
// the CRC-32 sent_image_crc (zlib's crc32 from 0).
void check_sent_bytes(const char* name, const FileCheck& check, uint32_t sent_image_crc);
// The same over the length bytes from `from` (a run of changed blocks, -u):
// check is the whole file's, named in the message.
void check_sent_range(const char* name, const FileCheck& check, int64_t from, int64_t length, uint32_t sent_image_crc);
// The CRC-32 of the first size bytes of the open file, or false when fewer can be read.
bool file_prefix_crc(int fd, int64_t size, uint32_t& crc);

// SPDX-License-Identifier: GPL-2.0-or-later
// The pre-flight checks of one image, and the jobs that flash it.
//
// jobs_for_image refuses S-record files by name before it looks at the file.
// It then looks the file up (stat), refuses anything but a regular file
// before opening it, opens it without blocking and judges it by the open
// file: its size, and what the file is (file_check.h), which it must stay
// until it is sent. The rule of the flash position follows: offset 0 is the
// kernel's place, never split, so one transfer must carry it even with -C;
// every positive offset is judged by the romdisk rule, and an image larger
// than one transfer carries is split into two pieces there, read from the
// file that was judged. Each limit admits a file of exactly its size. The
// result is the image as one job, or its two pieces (split.h); the run's
// directory for pieces is taken at the first split and kept for the later ones.
#pragma once

#include <cstdint>
#include <string>

#include "jobs/flash_job.h"

struct RunOptions;

constexpr char SREC_MARK[] = ".srec";  // plain, case-sensitive substring of the file name
// The first line stays as scripts know it; the rest says how to make the binary image.
constexpr char SREC_REFUSAL[] =
    "\n\tError:  This looks like an srec file.\n"
    "\tkelvane flashes binary images.  Convert it with objcopy (package binutils):\n"
    "\t  objcopy -I srec -O binary FILE.srec FILE.bin\n";
constexpr char SREC_REFUSAL_END[] = "\tThen run kelvane again with FILE.bin.";
constexpr char DEFAULT_TEMP_DIR[] = "/tmp";  // pieces go here without -t

// Byte counts of a transfer and of the flash command stay below 2 GiB.
constexpr int64_t IMAGE_SIZE_LIMIT = 0x80000000;

enum class ImageVerdict {
    accept,                  // flash as it is
    kernel_too_big,          // offset 0, larger than KERNEL_LIMIT, size checks on
    kernel_beyond_transfer,  // offset 0, larger than DOWNLOAD_LIMIT (size checks off)
    romdisk_too_big,         // positive offset, larger than ROMDISK_LIMIT, size checks on
    too_large,               // positive offset, 2 GiB or more, whatever the switches
    split,                   // positive offset, larger than one transfer carries
};

ImageVerdict image_verdict(int64_t offset, int64_t size, const RunOptions& run_options);
// The jobs that flash the image file at offset: the image itself, checked, or
// its two pieces. earlier holds the run's jobs so far, which a split must not
// overwrite. Any refusal ends the run.
JobList jobs_for_image(const std::string& file, int64_t offset, const JobList& earlier, const RunOptions& run_options);

// The pre-flight checks of one image.
//
// check_image refuses S-record files by name before it looks at the file,
// then takes the file's size and applies the rule of its flash position:
// offset 0 is the kernel's place and is never split; every positive offset is
// judged by the romdisk rule, and an image larger than one transfer carries is
// split into two pieces there. Each limit admits a file of exactly its size.
#pragma once

#include <cstdint>

struct RunOptions;

constexpr char SREC_MARK[] = ".srec";  // plain, case-sensitive substring of the file name
constexpr char SREC_REFUSAL[] =
    "\n\tError:  This looks like an srec file.\n\tUse mipsel-linux-objcopy to convert the file "
    "\n\tto binary format and then run kelvane again.\n\n";
constexpr char DEFAULT_TEMP_DIR[] = "/tmp";  // pieces go here without -t

// Byte counts of a transfer and of the flash command stay below 2 GiB.
constexpr int64_t IMAGE_SIZE_LIMIT = 0x80000000;

enum class ImageVerdict {
    accept,           // flash as it is
    kernel_too_big,   // offset 0, larger than KERNEL_LIMIT, size check on
    romdisk_too_big,  // positive offset, larger than ROMDISK_LIMIT, size check on
    too_large,        // 2 GiB or more, whatever the switches
    split,            // positive offset, larger than one transfer carries
};

ImageVerdict image_verdict(int64_t offset, int64_t size, const RunOptions& run_options);

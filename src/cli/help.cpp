// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/help.h"

#include <cstdio>
#include <cstdlib>

#include "cli/switches.h"

namespace {

// The option lines keep their "--" in the 26th column and this order.
constexpr const char* USAGE_LINES[] = {
    "\n Usage:  kelvane [OPTIONS] <file> <kernel|romdisk|cramfs|pmon|0xOffset> \n",
    "  [ -l ]                 -- Capture input/output to ./capture.log\n",
    "  [ -r ]                 -- Restart QZ4 after loading\n",
    "  [ -R ]                 -- Restore defaults after flash\n",
    "  [ -s <serial port> ]   -- Serial port.  Default == ttyS0\n",
    "  [ -b <bit/s> ]         -- Fast line for transfers, 1K packets (e.g. 921600, or 115200)\n",
    "  [ -V ]                 -- Verify each image in the flash (CRC-32)\n",
    "  [ -u ]                 -- Write only the flash blocks that differ from the image\n",
    "  [ -t <temp dir> ]      -- Temp dir for split files.  Default==/tmp\n",
    "  [ -v (or -h) ]         -- Version and usage (this)\n",
    "  [ -C ]                 -- Disable kernel/romdisk size check (expert-only!)\n",
    "  [ -D ]                 -- Disable PMON overwrite check (expert-only!)\n",
    "  [ -X ]                 -- Do not load xmodem-load.srec\n\n",
};

}  // namespace

void print_help() {
    std::fprintf(stderr, "\n %s\n", version_banner);
    for (const char* line : USAGE_LINES) std::fputs(line, stderr);
    std::exit(1);
}

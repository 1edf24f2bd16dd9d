// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/help.h"

#include <cstdio>
#include <cstdlib>

#include "core/kept_texts.h"

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
    "  [ -u ]                 -- write only the flash blocks that differ from the image\n",
    "  [ -L ]                 -- List the serial ports and exit\n",
    "  [ -t <temp dir> ]      -- Temp dir for split files.  Default==/tmp\n",
    "  [ -v (or -h) ]         -- Version and usage (this)\n",
    "  [ -C ]                 -- Disable kernel/romdisk size check (expert-only!)\n",
    "  [ -D ]                 -- Disable PMON overwrite check (expert-only!)\n",
    "  [ -X ]                 -- Do not load xmodem-load.srec\n\n",
};

[[noreturn]] void print_help_to(std::FILE* stream, int exit_status) {
    std::fprintf(stream, "\n %s\n", VERSION_BANNER);
    for (const char* line : USAGE_LINES) std::fputs(line, stream);
    std::exit(exit_status);
}

}  // namespace

void print_help() { print_help_to(stderr, 1); }

void print_help_asked() { print_help_to(stdout, 0); }

void print_version_asked() {
    std::printf("%s\n", VERSION_BANNER);
    std::exit(0);
}

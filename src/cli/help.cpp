// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/help.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    "  [ -u ]                 -- write only the flash blocks that differ from the image\n",
    "  [ -L ]                 -- List the serial ports and exit\n",
    "  [ -t <temp dir> ]      -- Temp dir for split files.  Default==/tmp\n",
    "  [ -v (or -h) ]         -- Version and usage (this)\n",
    "  [ -C ]                 -- Disable kernel/romdisk size check (expert-only!)\n",
    "  [ -D ]                 -- Disable PMON overwrite check (expert-only!)\n",
    "  [ -X ]                 -- Do not load xmodem-load.srec\n\n",
};

constexpr char HELP_SWITCH[] = "--help";
constexpr char VERSION_SWITCH[] = "--version";
constexpr char END_OF_SWITCHES[] = "--";

[[noreturn]] void print_help_to(std::FILE* stream, int exit_status) {
    std::fprintf(stream, "\n %s\n", version_banner);
    for (const char* line : USAGE_LINES) std::fputs(line, stream);
    std::exit(exit_status);
}

}  // namespace

void print_help() { print_help_to(stderr, 1); }

void print_help_asked() { print_help_to(stdout, 0); }

void print_version_asked() {
    std::printf("%s\n", version_banner);
    std::exit(0);
}

void answer_long_switches(int argc, char* const argv[]) {
    for (int i = 1; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
        if (std::strcmp(argv[i], END_OF_SWITCHES) == 0) return;
        if (std::strcmp(argv[i], HELP_SWITCH) == 0) print_help_asked();
        if (std::strcmp(argv[i], VERSION_SWITCH) == 0) print_version_asked();
        // A switch that takes its argument from the next word hides that word.
        const char* letters = argv[i] + 1;
        const size_t last = std::strlen(letters) - 1;
        for (size_t k = 0; k <= last; ++k) {
            const char* in_switches = std::strchr(SWITCHES, letters[k]);
            if (in_switches == nullptr || in_switches[1] != ':') continue;
            if (k == last) ++i;  // the next word is its argument
            break;
        }
    }
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/switches.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/help.h"
#include "core/fatal.h"
#include "serial/line_speed.h"
#include "serial/capture.h"

const char version_banner[] = "kelvane:  0.24 - 2002/10/30 - kelvane developers";

char command_echo[COMMAND_ECHO_SIZE];
char device_path[DEVICE_PATH_SIZE];

void build_command_echo(char (&echo)[COMMAND_ECHO_SIZE], int argc, const char* const argv[]) {
    constexpr size_t longest = COMMAND_ECHO_SIZE - 1;
    std::strcpy(echo, "\n");
    size_t length = 1;
    for (int i = 0; i < argc; ++i) {
        const size_t word = std::strlen(argv[i]);
        if (length + 1 + word > longest) continue;  // left out; a shorter word may still fit
        echo[length] = ' ';
        std::memcpy(echo + length + 1, argv[i], word + 1);
        length += 1 + word;
    }
}

void build_device_path(char (&path)[DEVICE_PATH_SIZE], const RunOptions& run_options) {
    // A name that begins with "/dev/" is already a device path ("/dev/dev/..."
    // can never be a serial port, so no working name changes meaning).
    if (run_options.port_name && run_options.port_name->rfind(DEVICE_DIR, 0) == 0)
        std::snprintf(path, sizeof path, "%s", run_options.port_name->c_str());
    else if (run_options.port_name)
        std::snprintf(path, sizeof path, DEVICE_DIR_FORMAT, run_options.port_name->c_str());
    else
        std::snprintf(path, sizeof path, "%s", DEFAULT_DEVICE);
}

namespace {

// A rate in plain decimal digits that the host's termios can set, else 0.
unsigned long settable_rate(const char* text) {
    if (*text < '0' || *text > '9') return 0;
    char* end = nullptr;
    errno = 0;
    const unsigned long rate = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0') return 0;
    return line_speed_code(rate) != B0 ? rate : 0;
}

}  // namespace

int read_switches(int argc, char* argv[], RunOptions& run_options) {
    int letter;
    while ((letter = getopt(argc, argv, SWITCHES)) != -1) {
        switch (letter) {
            case 'C':
                run_options.kernel_size_check = false;
                run_options.romdisk_size_check = false;
                break;
            case 'D':
                run_options.overwrite_check = false;
                break;
            case 'R':
                run_options.restore_defaults = true;
                break;
            case 'X':
                run_options.load_loader = false;
                break;
            case 'V':
                run_options.verify_flash = true;
                break;
            case 'u':
                run_options.changed_only = true;
                break;
            case 'h':
            case 'v':
                print_help();
            case 'l':
                capture_enabled = true;
                capture_begin(version_banner, command_echo);
                break;
            case 'r':
                run_options.restart_after = true;
                break;
            case 's':
                run_options.port_name = optarg;
                break;
            case 't':
                run_options.temp_dir = optarg;
                break;
            case 'b':
                run_options.fast_rate = settable_rate(optarg);
                if (run_options.fast_rate == 0)
                    refuse_exit("Error:  -b %s is not a line speed this host can set.  Aborting.", optarg);
                break;
            default:
                break;  // getopt has printed its diagnostic; the switch has no effect
        }
    }
    if (run_options.fast_rate != 0 && !run_options.load_loader)
        refuse_exit("Error:  -b needs the receiver this run uploads; it cannot go with -X.  Aborting.");
    if (run_options.verify_flash && !run_options.load_loader)
        refuse_exit("Error:  -V needs the receiver this run uploads; it cannot go with -X.  Aborting.");
    if (run_options.changed_only && !run_options.load_loader)
        refuse_exit("Error:  -u needs the receiver this run uploads; it cannot go with -X.  Aborting.");
    return optind;
}

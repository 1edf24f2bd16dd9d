// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/switches.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/help.h"
#include "core/fatal.h"
#include "core/kept_texts.h"
#include "serial/line_speed.h"
#include "serial/capture.h"
#include "serial/port_list.h"

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
    int length;
    if (run_options.port_name && run_options.port_name->rfind(DEVICE_DIR, 0) == 0)
        length = std::snprintf(path, sizeof path, "%s", run_options.port_name->c_str());
    else if (run_options.port_name)
        length = std::snprintf(path, sizeof path, DEVICE_DIR_FORMAT, run_options.port_name->c_str());
    else
        length = std::snprintf(path, sizeof path, "%s", DEFAULT_DEVICE);
    // A path cut short names another file, perhaps another handheld's port.
    if (length < 0 || length >= DEVICE_PATH_SIZE)
        refuse_exit("Error:  the serial device path is %d characters long; at most %d fit.  Aborting.", length,
                    DEVICE_PATH_SIZE - 1);
}

std::optional<std::string> port_from_environment() {
    const char* value = std::getenv(PORT_VARIABLE);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

namespace {

// A rate in plain decimal digits, else 0.
unsigned long decimal_rate(const char* text) {
    if (*text < '0' || *text > '9') return 0;
    char* end = nullptr;
    errno = 0;
    const unsigned long rate = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0') return 0;
    return rate;
}

// The -b rate, once it is one the monitor's receiver can run and this host can set.
unsigned long fast_rate_of(const char* text) {
    const unsigned long rate = decimal_rate(text);
    // Slower than the console would only slow the transfer; the receiver starts at the console's rate.
    if (rate != 0 && rate < MONITOR_RATE)
        refuse_exit("Error:  -b %s is below the monitor's rate: it must be at least %lu.  Aborting.", text,
                    MONITOR_RATE);
    if (rate == 0 || line_speed_code(rate) == B0)
        refuse_exit("Error:  -b %s is not a line speed this host can set.  Aborting.", text);
    return rate;
}

// -L: the ports, with the one KELVANE_PORT names among them, on standard output.
[[noreturn]] void list_ports_and_exit() {
    std::string named;
    if (const std::optional<std::string> name = port_from_environment()) {
        RunOptions from_environment;
        from_environment.port_name = name;
        char path[DEVICE_PATH_SIZE];
        build_device_path(path, from_environment);
        named = path;
    }
    list_ports(stdout, named);
    std::exit(0);
}

}  // namespace

int read_switches(int argc, char* argv[], RunOptions& run_options) {
    int letter;
    while ((letter = getopt(argc, argv, SWITCHES)) != -1) {
        switch (letter) {
            case 'C':
                run_options.size_checks = false;
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
                capture_begin(VERSION_BANNER, command_echo);
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
                run_options.fast_rate = fast_rate_of(optarg);
                break;
            case 'L':
                list_ports_and_exit();
            default:
                // getopt has printed its diagnostic. A mistyped switch (or one of a
                // newer version) must not lead to a flash other than the one asked for.
                print_help();
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

namespace {

constexpr char HELP_SWITCH[] = "--help";
constexpr char VERSION_SWITCH[] = "--version";
constexpr char END_OF_SWITCHES[] = "--";

}  // namespace

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

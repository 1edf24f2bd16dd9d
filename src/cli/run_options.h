// The switches of one run and the process-wide texts built from the command line.
#pragma once

#include <optional>
#include <string>

struct RunOptions {
    int restart_after = 0;       // -r
    int overwrite_check = 1;     // -D clears
    int kernel_size_check = 1;   // -C clears
    int romdisk_size_check = 1;  // -C clears
    int restore_defaults = 0;    // -R
    int load_loader = 1;         // -X clears; the dialogue clears it after the first upload
    std::optional<std::string> port_name;  // -s
    std::optional<std::string> temp_dir;   // -t
};

// "kelvane:  0.24 - 2002/10/30 - " and an attribution, without a line end.
extern const char version_banner[];

constexpr int COMMAND_ECHO_SIZE = 1024;  // at most 1023 characters
constexpr int DEVICE_PATH_SIZE = 128;    // at most 127 characters

// "\n" followed by " <word>" for every argument that still fits.
extern char command_echo[COMMAND_ECHO_SIZE];
// "/dev/<port_name>" cut to 127 characters, or "/dev/ttyS0".
extern char device_path[DEVICE_PATH_SIZE];

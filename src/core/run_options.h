// SPDX-License-Identifier: GPL-2.0-or-later
// The switches of one run, as read from the command line.
//
// The command-line reader fills the record once; from then on every layer
// reads it and none changes it. What changes during a run (whether the
// receiver is already in RAM, the split directory as trimmed) belongs to the
// module that changes it.
#pragma once

#include <optional>
#include <string>

struct RunOptions {
    bool restart_after = false;            // -r
    bool overwrite_check = true;           // -D clears
    bool size_checks = true;               // -C clears: the kernel's and the romdisk's size limits alike
    bool restore_defaults = false;         // -R
    bool load_loader = true;               // -X clears: the receiver is already in RAM
    unsigned long fast_rate = 0;           // -b: bit/s for the transfers; 0 keeps the monitor's rate
    bool verify_flash = false;             // -V: read each image back from the flash
    bool changed_only = false;             // -u: write only the flash blocks that differ from the image
    std::optional<std::string> port_name;  // -s
    std::optional<std::string> temp_dir;   // -t
};

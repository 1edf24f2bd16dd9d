// SPDX-License-Identifier: GPL-2.0-or-later
// Command line of qz4sim.
//
// The simulator either plays the handheld on a new pseudo-terminal (the normal
// mode) or, with --compare / --check-erased, only inspects a flash file and
// exits; --make-image writes a deterministic sample image for scripts. Fault
// injection is seeded (faults.h), so a run with the same options and the same
// host traffic injects the same faults.
#pragma once

#include "faults.h"
#include "hardware.h"
#include "pacing.h"
#include "program_clock.h"

#include <cstdint>
#include <string>
#include <vector>

struct SimOptions {
    std::string flash_path = "qz4sim-flash.bin";
    uint32_t flash_size = DEFAULT_FLASH_SIZE;
    std::string link_path;    // symlink to the slave, when given
    std::string report_path;  // report file, rewritten on request and at exit
    unsigned baud = 0;        // 0: unpaced; otherwise 10 bits per byte at this rate (at the monitor's divisor)
    uint32_t uart_clock = DEFAULT_UART_CLOCK;  // Hz
    unsigned cpu_mhz = DEFAULT_CPU_MHZ;        // a program's instructions, one a cycle
    unsigned flash_read_ns = DEFAULT_FLASH_READ_NS;  // a program's 16-bit read of the flash
    unsigned adapter_latency_ms = 0;           // USB adapter's latency timer towards the host; 0: none
    unsigned block_ms = 0;                     // time to program one flash block
    bool exit_after_boot = false;
    FaultPlan faults;

    // Inspection modes.
    enum class Mode { simulate, compare, check_erased, make_image, help } mode = Mode::simulate;
    uint32_t inspect_offset = 0;
    uint32_t inspect_size = 0;
    std::string compare_image;  // also the file --make-image writes
    uint64_t image_seed = 0;
};

// Parses argv; on error returns false with a message in `error`. Each option
// is a row of one table (name, argument, field, limit, help), which also
// makes the usage text.
bool parse_sim_options(const std::vector<std::string>& args, SimOptions& options, std::string& error);

// The usage text: the forms, then every option with its help.
std::string sim_usage();

// SPDX-License-Identifier: GPL-2.0-or-later
// Runs a program on the emulated MIPS32 little-endian CPU for "g -e".
//
// Every start gets a fresh unicorn engine over the same RAM, so no stale
// translation of code that "load" has since replaced can run. The program is
// called like a subroutine: the stack pointer is the monitor's, the return
// address a stop address, and the run ends when it returns there. It runs to
// completion in one uc_emu_start; a block hook counts its instructions into
// the program's modelled time (program_clock.h), and the UART callbacks
// (uart.h) wait for received bytes instead of slicing the run.
// The flash's bytes are mapped read-only at 0x1F000000 in whole pages (a
// file's last partial page is not seen); a store there faults the program.
#pragma once

#include "device.h"

#include <cstdint>
#include <string>

struct ProgramOutcome {
    bool returned = false;
    uint32_t pc = 0;    // where the run stopped
    std::string fault;  // the emulator's text when it did not return
};

ProgramOutcome cpu_run(Device& device, uint32_t entry);

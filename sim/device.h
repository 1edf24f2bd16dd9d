// SPDX-License-Identifier: GPL-2.0-or-later
// The simulated handheld as one record: its line, flash, RAM and what happened.
//
// The device thread runs the monitor and, inside it, the programs started
// with "g -e"; the reader thread feeds the line; the main thread waits for
// signals and writes the report. `mu` guards the flash and the statistics,
// so that a report never shows a block half programmed.
#pragma once

#include "flash_faults.h"
#include "flash_store.h"
#include "line.h"
#include "options.h"
#include "packet_watch.h"
#include "program_clock.h"
#include "uart_registers.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct ProgramRecord {
    uint32_t offset = 0;
    uint32_t size = 0;
    uint32_t ram = 0;
    unsigned blocks = 0;
};

// The handheld's UART as a report shows it.
struct UartState {
    uint32_t clock = 0;
    uint32_t divisor = 0;
    uint32_t monitor_divisor = 0;
};

// One program started with "g -e": how long it ran and how many packets it took.
struct ProgramRun {
    uint64_t packets_accepted = 0;
    double seconds = 0;
};

struct DeviceStats {
    uint64_t records_acked = 0;
    uint64_t records_refused = 0;
    uint64_t loads_completed = 0;
    uint64_t programs_started = 0;
    uint64_t programs_returned = 0;
    uint64_t programs_faulted = 0;
    uint64_t empty_polls = 0;
    uint64_t tx_outside_gate = 0;        // bytes a program sent with bit 0 of the gate set
    uint64_t programs_left_divisor = 0;  // programs that returned with another divisor than the monitor's
    unsigned system_boots = 0;
    unsigned restores = 0;
    uint64_t packet_bytes_at_monitor = 0;  // SOH, STX, CAN and NUL read by the command line
    PacketCounts packets;
    UartState uart;  // filled in when a report is made
    std::vector<ProgramRecord> programmed;
    std::vector<ProgramRun> runs;
    FlashFaultRecord flash_faults;
};

struct Device {
    SimOptions options;
    Line line;
    FlashStore flash;
    uint8_t* ram = nullptr;  // RAM_SIZE bytes, physical address 0 upwards

    std::mutex mu;
    DeviceStats stats;

    // Used by the device thread only.
    PacketWatch watch;
    FlashFaultState flash_faults;
    uint16_t tx_gate = 0;
    UartRegisters uart;
    ProgramClock clock;
    uint64_t empty_polls = 0;  // in the current program, published when it returns
};

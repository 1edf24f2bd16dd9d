// SPDX-License-Identifier: GPL-2.0-or-later
// The PMON boot monitor of the handheld, as the host sees it on the line.
//
// The monitor echoes what is typed (printable characters; backspace and DEL
// erase), runs the command at each carriage return and prints the prompt
// "PMON> " after it. "load" takes S-records each ended by ETX and answers every
// one with ACK or NAK; any other byte, CR and LF included, is record text,
// and only an acknowledged end record (S7, S8 or S9) ends the load;
// "g -e ADDR" runs a program on the emulated CPU until it returns;
// "flash RAM SIZE OFFSET" asks for "y" and then programs the flash a
// block of 0x20000 bytes at a time, each erased and then programmed, one
// "Programming block" line per block. Like NOR flash it erases every block a
// command touches whole, so a range that starts or ends inside a block loses
// the rest of that block (the flash faults act here, unseen by it);
// "unzip" and "$linux" print what the handheld would. Parsing a command line is
// a pure function; the loop itself only reads bytes and answers, and counts
// the SOH, STX and CAN bytes the command line reads: a transfer's bytes that
// missed the receiver.
#pragma once

#include "device.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

extern const char* const PMON_PROMPT_TEXT;

enum class CommandKind { empty, load, go, flash, unzip, boot, unknown, bad_usage };

struct Command {
    CommandKind kind = CommandKind::empty;
    std::string name;                        // first word as typed
    uint32_t entry = 0;                      // go
    uint32_t ram = 0, size = 0, offset = 0;  // flash
    bool restore_defaults = false;           // boot with the restore program
    std::string usage;                       // bad_usage: what the command takes
};

Command parse_command(const std::string& line);

// Why a flash request cannot be done, or empty when it can.
std::string flash_range_problem(uint32_t ram, uint32_t size, uint32_t offset, uint32_t flash_size);

// Runs the monitor forever. With --exit-after-boot, `booted` is called once the
// handheld has booted its system (the restore program included).
void monitor_run(Device& device, const std::function<void()>& booted);

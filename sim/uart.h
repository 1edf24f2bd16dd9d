// SPDX-License-Identifier: GPL-2.0-or-later
// The handheld's 16550-style UART as programs see it, in the program's
// modelled time (program_clock.h).
//
// Registers from the UART's base: +0 receive buffer (read) and transmit
// holding register (write), +1 interrupt enable, +2 interrupt identification
// (read) and FIFO control (write), +3 line control, +4 modem control, +5 line
// status, +6 modem status, +7 scratch. With the divisor latch access bit (0x80
// in line control) set, +0 and +1 are the divisor's low and high byte instead.
// The divisor sets the handheld's rate (clock / (16 * divisor)): the line paces
// and garbles by it from the moment either byte is written (line.h). The
// monitor programs the divisor for 115200 bit/s at reset; a program may change
// it and should put it back, because the monitor does not touch it again.
//
// Receiving: a byte enters the 16-byte receive FIFO at its release in the
// program's time; one released while the FIFO is full is lost and sets the
// overrun bit of line status until line status is read (an unpaced line's
// FIFO has no limit). Before the UART answers at model time t, every byte the
// host can send that would be released by t must be queued: while t is past
// what the line knows, the device thread waits for the real clock (letting it
// run a chunk further, so a polling program sleeps once a chunk), or for the
// host to send. A program never runs ahead of bytes it has not been given, so
// what it loses depends on its own speed, never on how busy the host machine
// is, and a waiting program costs little CPU. A poll that finds nothing while
// the line's news is known reads one atomic and no clock.
//
// Sending: a program goes on once its byte has crossed the line; the host gets
// the byte when the real clock has passed that time, as a handheld would send it.
#pragma once

#include "hardware.h"
#include "uart_registers.h"

#include <cstdint>

struct Device;

// How far the real clock may run ahead of a polling program that waits for it:
// the program then polls through the chunk at once.
constexpr int64_t IDLE_CHUNK_NS = 4'000'000;

// The monitor's reset: 8N1 and the divisor for 115200 bit/s.
void uart_reset(Device& device);
// Called as a program starts: its clock starts where the monitor left the line.
void uart_program_start(Device& device);
// Called as it returns: the FIFO's bytes are the monitor's again.
void uart_program_end(Device& device);
uint8_t uart_read_register(Device& device, uint32_t reg);
void uart_write_register(Device& device, uint32_t reg, uint8_t value);

// The handheld's 16550-style UART as programs see it, and the modelled time of
// a program that polls it.
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
// Modelled time: a program runs far faster than the handheld, so it carries a
// clock of its own. Every empty poll of line status adds a microsecond, every
// byte sent ends when its byte time has passed, and a received byte is seen at
// its release. Whenever this clock has run a chunk ahead of the real one, the
// device thread sleeps until the real clock catches up (or until the host sends
// something), so a waiting program costs little CPU and a count of 5,000,000
// empty polls lasts five seconds. The host sees the program's bytes at their
// modelled times, because sending waits for the real clock. A poll that finds
// nothing and is not at a chunk's end reads one atomic and no clock.
#pragma once

#include "hardware.h"

#include <cstdint>

struct Device;

// An empty poll of line status lasts this long on the handheld.
constexpr int64_t EMPTY_POLL_NS = 1000;
// How far a program's clock may run ahead of the real one before it sleeps.
constexpr int64_t POLL_SYNC_CHUNK_NS = 4'000'000;

struct UartRegisters {
    uint8_t lcr = LCR_8N1;
    uint8_t ier = 0;
    uint8_t mcr = 0;
    uint8_t scr = 0;
    uint16_t divisor = 0;
};

struct PollClock {
    int64_t model = 0;    // the program's time
    int64_t seen = 0;     // the real clock when last read (bytes released by then are visible)
    int64_t sync_at = 0;  // model time of the next comparison with the real clock
};

// The monitor's reset: 8N1 and the divisor for 115200 bit/s.
void uart_reset(Device& device);
// Called as a program starts: its clock starts at the real one.
void uart_program_start(Device& device);
uint8_t uart_read_register(Device& device, uint32_t reg);
void uart_write_register(Device& device, uint32_t reg, uint8_t value);

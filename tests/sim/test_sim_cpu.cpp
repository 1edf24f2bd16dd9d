// SPDX-License-Identifier: GPL-2.0-or-later
// A program's loads from the flash are counted into its modelled time, at
// every address it may name the flash by, and its loads from RAM are not.
#include "cpu.h"
#include "device.h"
#include "uart.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

constexpr uint32_t PROGRAM = 0x00080000;  // physical; started at 0xA0080000

// Reads 16 bytes from the flash at `window` (upper half), one word after them,
// and one word from the stack, then returns.
std::vector<uint32_t> reading_program(uint16_t window) {
    return {
        0x3c080000u | window,  // lui   t0, window
        0x24090010,            // addiu t1, zero, 16
        0x910a0000,            // lbu   t2, 0(t0)
        0x2529ffff,            // addiu t1, t1, -1
        0x1520fffd,            // bnez  t1, back to the lbu
        0x25080001,            // addiu t0, t0, 1 (delay slot)
        0x8d0b0000,            // lw    t3, 0(t0)
        0x8fac0000,            // lw    t4, 0(sp): RAM, not the flash
        0x03e00008,            // jr    ra
        0x00000000,            // nop
    };
}

TEST(SimCpu, CountsEachSixteenBitsReadFromTheFlashWhereverItIsNamed) {
    std::vector<uint8_t> ram(RAM_SIZE);
    for (const uint16_t window : {uint16_t{0xBF00}, uint16_t{0x9F00}, uint16_t{0x1F00}}) {
        SCOPED_TRACE(window);
        Device d;
        d.ram = ram.data();
        d.flash.bytes.assign(0x1000, 0x5A);
        d.line.base_baud = 115200;
        d.line.clock_hz = DEFAULT_UART_CLOCK;
        d.line.monitor_divisor = divisor_for(DEFAULT_UART_CLOCK, MONITOR_RATE);
        uart_reset(d);
        const std::vector<uint32_t> code = reading_program(window);
        std::memcpy(ram.data() + PROGRAM, code.data(), code.size() * sizeof(uint32_t));

        const ProgramOutcome out = cpu_run(d, 0xA0000000u + PROGRAM);
        ASSERT_TRUE(out.returned) << out.fault;
        // Nothing touched the UART, so nothing folded them into the model yet.
        EXPECT_EQ(d.clock.flash_reads, 16u + 2u);
    }
}

}  // namespace

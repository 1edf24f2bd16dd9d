// SPDX-License-Identifier: GPL-2.0-or-later
// The registers of the handheld's UART that a program can set, and its receive
// FIFO's state as of the last access: a record of the device (device.h), which
// the UART's functions (uart.h) read and write. Kept apart from both so that
// the device can hold it without knowing how the UART works.
#pragma once

#include "hardware.h"

#include <cstdint>

struct UartRegisters {
    uint8_t lcr = LCR_8N1;
    uint8_t ier = 0;
    uint8_t mcr = 0;
    uint8_t scr = 0;
    uint16_t divisor = 0;
    uint32_t rx_held = 0;  // bytes in the receive FIFO, as of the last access
    bool overrun = false;  // line status's overrun bit
};

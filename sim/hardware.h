// SPDX-License-Identifier: GPL-2.0-or-later
// The QZ4 handheld as the simulator models it: memory map, UART, flash.
//
// The CPU is a MIPS32 little-endian core without an MMU in use: kseg0
// (0x80000000) and kseg1 (0xA0000000) both reach the same physical memory, so
// every address the monitor or a program names is folded to physical before it
// touches RAM. The 16550-style UART has no interrupts; programs poll its line
// status register. Flash is NOR flash persisted in a file (flash_store.h);
// programs see it read-only from physical 0x1F000000 (0xBF000000 uncached):
// the monitor runs from the reset address 0xBFC00000, flash offset 0xC00000,
// so a 16 MiB flash ends at the top of that region and a smaller one earlier.
#pragma once

#include <cstdint>

// RAM: 32 MiB from physical 0, enough for the loader, the largest transfer
// (0x670000 bytes at 0x90000) and the monitor's stack.
constexpr uint32_t RAM_SIZE = 32u << 20;

// Strips the kseg0/kseg1 segment bits: physical address of a CPU address.
constexpr uint32_t physical_address(uint32_t cpu_address) { return cpu_address & 0x1FFFFFFFu; }

// Where "g -e" leaves the monitor's stack and its return address: the top of
// RAM, clear of everything a transfer can reach. The return address is never
// executed; the emulation stops when the program jumps there.
constexpr uint32_t MONITOR_STACK_TOP = 0x81FF0000;
constexpr uint32_t MONITOR_RETURN_ADDRESS = 0xA1FFFFF0;

// 16550-style UART: eight byte-wide registers from its base (uart.h).
constexpr uint32_t UART_BASE = 0x0C000010;  // physical; the loader uses 0xAC000010
constexpr uint32_t UART_DATA = 0;           // receive buffer / transmit holding; divisor low byte with DLAB
constexpr uint32_t UART_IER = 1;            // interrupt enable; divisor high byte with DLAB
constexpr uint32_t UART_IIR = 2;            // interrupt identification (read), FIFO control (write)
constexpr uint32_t UART_LCR = 3;            // line control
constexpr uint32_t UART_MCR = 4;            // modem control
constexpr uint32_t UART_LSR = 5;            // line status
constexpr uint32_t UART_MSR = 6;            // modem status
constexpr uint32_t UART_SCR = 7;            // scratch
constexpr uint32_t UART_REGISTERS = 8;
constexpr uint8_t LCR_DLAB = 0x80;  // divisor latch access
constexpr uint8_t LCR_8N1 = 0x03;
constexpr uint8_t IIR_NONE_PENDING = 0x01;
constexpr uint8_t LSR_DATA_READY = 0x01;
constexpr uint8_t LSR_OVERRUN = 0x02;   // a byte was lost to a full receive FIFO; cleared by reading LSR
constexpr uint8_t LSR_TX_EMPTY = 0x60;  // holding register and shifter both empty

// The 16550's receive FIFO.
constexpr unsigned UART_RX_FIFO_SIZE = 16;

// 16-bit register whose bit 0 a program clears around every byte it sends.
constexpr uint32_t TX_GATE_REGISTER = 0x0B000308;  // physical; 0xAB000308 for the CPU
constexpr uint16_t TX_GATE_IDLE = 0x0001;          // value after reset

// Memory-mapped I/O is mapped in whole pages.
constexpr uint32_t MMIO_PAGE = 0x1000;

// Flash: 16 MiB by default, programmed in blocks of 128 KiB; the monitor's own
// code lives at 0xC00000..0xC7FFFF.
constexpr uint32_t DEFAULT_FLASH_SIZE = 16u << 20;
constexpr uint32_t FLASH_BLOCK_SIZE = 0x20000;
constexpr uint32_t MONITOR_AREA_START = 0xC00000;
constexpr uint32_t MONITOR_AREA_SIZE = 0x80000;
constexpr uint8_t ERASED_BYTE = 0xFF;
constexpr uint32_t FLASH_WINDOW = 0x1F000000;      // physical address of flash offset 0
constexpr uint32_t FLASH_WINDOW_SIZE = 16u << 20;  // the most of the flash programs can read

// Control bytes of the ETX/ACK upload and of XMODEM.
constexpr uint8_t SOH = 0x01;
constexpr uint8_t STX = 0x02;  // starts a 1024-byte packet
constexpr uint8_t ETX = 0x03;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t BS = 0x08;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t CAN = 0x18;
constexpr uint8_t DEL = 0x7F;

// An XMODEM packet on the wire: SOH, block, complement, 128 data, checksum;
// STX starts one with 1024 data bytes (the fast entry's).
constexpr unsigned XMODEM_PACKET_SIZE = 132;
constexpr unsigned XMODEM_1K_PACKET_SIZE = 1028;
constexpr unsigned XMODEM_OVERHEAD = 4;          // start byte, block, complement, checksum
constexpr unsigned XMODEM_COMPLEMENT_INDEX = 2;  // the loader ignores this byte

// Where a fast run starts the loader's second stage, which takes the stream
// (stream_wire.h) instead of XMODEM packets.
constexpr uint32_t STREAM_STAGE_ENTRY = 0xA0083000;

// Wire size of a packet by its first byte; 0 for a byte that starts none.
constexpr unsigned xmodem_packet_size(uint8_t first) {
    return first == SOH ? XMODEM_PACKET_SIZE : first == STX ? XMODEM_1K_PACKET_SIZE : 0;
}

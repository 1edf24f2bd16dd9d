// SPDX-License-Identifier: GPL-2.0-or-later
#include "cpu.h"

#include "hardware.h"
#include "uart.h"

#include <unicorn/unicorn.h>

#include <algorithm>

namespace {

constexpr uint32_t page_of(uint32_t address) { return address & ~(MMIO_PAGE - 1); }
constexpr uint32_t UART_PAGE = page_of(UART_BASE);
constexpr uint32_t GATE_PAGE = page_of(TX_GATE_REGISTER);
constexpr uint32_t UART_OFFSET = UART_BASE - UART_PAGE;
constexpr uint32_t GATE_OFFSET = TX_GATE_REGISTER - GATE_PAGE;
constexpr uint32_t MIPS32_INSTRUCTION_SIZE = 4;
constexpr uint32_t KSEG0 = 0x80000000;  // cached view of physical memory
constexpr uint32_t KSEG1 = 0xA0000000;  // uncached view

uint64_t uart_read(uc_engine*, uint64_t offset, unsigned size, void* user) {
    Device& device = *static_cast<Device*>(user);
    if (offset < UART_OFFSET) return 0;
    uint64_t value = 0;
    // Wider accesses see the registers side by side; only the first byte may take data.
    for (unsigned k = 0; k < size; ++k) {
        const uint32_t reg = static_cast<uint32_t>(offset - UART_OFFSET) + k;
        if (reg >= UART_REGISTERS || (k > 0 && reg == UART_DATA)) continue;
        value |= uint64_t(uart_read_register(device, reg)) << (8 * k);
    }
    return value;
}

void uart_write(uc_engine*, uint64_t offset, unsigned, uint64_t value, void* user) {
    Device& device = *static_cast<Device*>(user);
    if (offset < UART_OFFSET || offset - UART_OFFSET >= UART_REGISTERS) return;
    // The registers are a byte wide: a wider store reaches only the one addressed.
    uart_write_register(device, static_cast<uint32_t>(offset - UART_OFFSET), static_cast<uint8_t>(value));
}

uint64_t gate_read(uc_engine*, uint64_t offset, unsigned, void* user) {
    const Device& device = *static_cast<Device*>(user);
    return offset == GATE_OFFSET ? device.tx_gate : 0;
}

// A translated block starts: its instructions take their cycles.
void block_start(uc_engine*, uint64_t, uint32_t size, void* user) {
    clock_add_instructions(static_cast<Device*>(user)->clock, size / MIPS32_INSTRUCTION_SIZE);
}

// A load from the flash window: its uncached reads stall the program.
void flash_load(uc_engine*, uc_mem_type, uint64_t, int size, int64_t, void* user) {
    clock_add_flash_load(static_cast<Device*>(user)->clock, static_cast<unsigned>(size));
}

void gate_write(uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* user) {
    Device& device = *static_cast<Device*>(user);
    if (offset == GATE_OFFSET) {
        device.tx_gate = size == 1 ? static_cast<uint16_t>((device.tx_gate & 0xFF00) | (value & 0xFF))
                                   : static_cast<uint16_t>(value);
    }
}

}  // namespace

ProgramOutcome cpu_run(Device& device, uint32_t entry) {
    ProgramOutcome out;
    uc_engine* uc = nullptr;
    uc_err err = uc_open(UC_ARCH_MIPS, static_cast<uc_mode>(UC_MODE_MIPS32 | UC_MODE_LITTLE_ENDIAN), &uc);
    if (err != UC_ERR_OK) {
        out.fault = uc_strerror(err);
        return out;
    }
    device.tx_gate = TX_GATE_IDLE;
    device.watch = packet_watch_for(entry);
    device.empty_polls = 0;

    err = uc_mem_map_ptr(uc, 0, RAM_SIZE, UC_PROT_ALL, device.ram);
    if (err == UC_ERR_OK) err = uc_mmio_map(uc, UART_PAGE, MMIO_PAGE, uart_read, &device, uart_write, &device);
    if (err == UC_ERR_OK) err = uc_mmio_map(uc, GATE_PAGE, MMIO_PAGE, gate_read, &device, gate_write, &device);
    // The flash for reading only, in whole pages, and no more of it than the window holds.
    const size_t flash_window = std::min<size_t>(device.flash.bytes.size(), FLASH_WINDOW_SIZE) & ~size_t(MMIO_PAGE - 1);
    if (err == UC_ERR_OK && flash_window > 0)
        err = uc_mem_map_ptr(uc, FLASH_WINDOW, flash_window, UC_PROT_READ, device.flash.bytes.data());
    uc_hook block_hook = 0;
    if (err == UC_ERR_OK)
        err = uc_hook_add(uc, &block_hook, UC_HOOK_BLOCK, reinterpret_cast<void*>(block_start), &device, 1, 0);
    // The hook's range is matched against the address the program names:
    // the window uncached (where programs read it), cached, and physical.
    for (const uint32_t segment : {KSEG1, KSEG0, 0u}) {
        uc_hook flash_hook = 0;
        if (err == UC_ERR_OK && flash_window > 0)
            err = uc_hook_add(uc, &flash_hook, UC_HOOK_MEM_READ, reinterpret_cast<void*>(flash_load), &device,
                              segment + FLASH_WINDOW, segment + FLASH_WINDOW + flash_window - 1);
    }
    if (err == UC_ERR_OK) {
        uint32_t sp = MONITOR_STACK_TOP;
        uint32_t ra = MONITOR_RETURN_ADDRESS;
        uc_reg_write(uc, UC_MIPS_REG_SP, &sp);
        uc_reg_write(uc, UC_MIPS_REG_RA, &ra);
        // The program's clock starts now, not before the engine was set up.
        uart_program_start(device);
        err = uc_emu_start(uc, entry, MONITOR_RETURN_ADDRESS, 0, 0);
    }
    uint32_t pc = 0;
    uc_reg_read(uc, UC_MIPS_REG_PC, &pc);
    out.pc = pc;
    out.returned = err == UC_ERR_OK && pc == MONITOR_RETURN_ADDRESS;
    if (!out.returned) out.fault = err == UC_ERR_OK ? "stopped" : uc_strerror(err);
    uc_close(uc);
    uart_program_end(device);
    std::lock_guard g(device.mu);
    device.stats.empty_polls += device.empty_polls;
    if (device.uart.divisor != device.line.monitor_divisor) ++device.stats.programs_left_divisor;
    return out;
}

#include "cpu.h"

#include "hardware.h"

#include <unicorn/unicorn.h>

namespace {

// An empty poll of the line status register costs about a microsecond on the
// handheld (an uncached read across its bus); the emulation is far quicker, so
// every thousand empty polls in a row wait until the modelled time has passed.
constexpr int64_t EMPTY_POLL_NS = 1000;
constexpr uint64_t EMPTY_POLLS_PER_CHECK = 1000;

constexpr uint32_t page_of(uint32_t address) { return address & ~(MMIO_PAGE - 1); }
constexpr uint32_t UART_PAGE = page_of(UART_BASE);
constexpr uint32_t GATE_PAGE = page_of(TX_GATE_REGISTER);
constexpr uint32_t UART_OFFSET = UART_BASE - UART_PAGE;
constexpr uint32_t GATE_OFFSET = TX_GATE_REGISTER - GATE_PAGE;

uint8_t uart_register_read(Device& d, uint32_t reg)
{
    if (reg == UART_DATA) {
        if (!line_ready(d.line)) return 0;
        const RxByte b = line_take(d.line);
        // The first byte after an answer (or the start) is where a packet begins.
        if (d.watch.since_answer == 0 && b.value == SOH) line_packet_started(d.line);
        packet_watch_delivered(d.watch, b.value, b.altered);
        d.empty_poll_run = 0;
        return b.value;
    }
    if (reg == UART_LSR) {
        if (line_ready(d.line)) {
            d.empty_poll_run = 0;
            return LSR_TX_EMPTY | LSR_DATA_READY;
        }
        if (d.empty_poll_run == 0) d.empty_poll_start_ns = monotonic_ns();
        ++d.empty_poll_run;
        ++d.empty_polls;
        if (d.empty_poll_run % EMPTY_POLLS_PER_CHECK == 0) {
            const int64_t due = d.empty_poll_start_ns + int64_t(d.empty_poll_run) * EMPTY_POLL_NS;
            const int64_t early = due - monotonic_ns();
            if (early > 0) line_wait(d.line, early);
        }
        return LSR_TX_EMPTY;
    }
    return 0;
}

uint64_t uart_read(uc_engine*, uint64_t offset, unsigned size, void* user)
{
    Device& d = *static_cast<Device*>(user);
    if (offset < UART_OFFSET) return 0;
    uint64_t value = 0;
    // Wider accesses see the registers side by side; only the first byte may take data.
    for (unsigned k = 0; k < size; ++k) {
        const uint32_t reg = static_cast<uint32_t>(offset - UART_OFFSET) + k;
        if (k > 0 && reg == UART_DATA) continue;
        value |= uint64_t(uart_register_read(d, reg)) << (8 * k);
    }
    return value;
}

void uart_write(uc_engine*, uint64_t offset, unsigned, uint64_t value, void* user)
{
    Device& d = *static_cast<Device*>(user);
    if (offset != UART_OFFSET + UART_DATA) return;  // configuration writes change nothing here
    const uint8_t byte = static_cast<uint8_t>(value);
    {
        std::lock_guard g(d.mu);
        if (d.tx_gate & 1) ++d.stats.tx_outside_gate;
        packet_watch_sent(d.watch, d.stats.packets, byte);
    }
    line_send(d.line, &byte, 1);
}

uint64_t gate_read(uc_engine*, uint64_t offset, unsigned, void* user)
{
    const Device& d = *static_cast<Device*>(user);
    return offset == GATE_OFFSET ? d.tx_gate : 0;
}

void gate_write(uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* user)
{
    Device& d = *static_cast<Device*>(user);
    if (offset == GATE_OFFSET) {
        d.tx_gate = size == 1 ? static_cast<uint16_t>((d.tx_gate & 0xFF00) | (value & 0xFF))
                              : static_cast<uint16_t>(value);
    }
}

}  // namespace

ProgramOutcome cpu_run(Device& d, uint32_t entry)
{
    ProgramOutcome out;
    uc_engine* uc = nullptr;
    uc_err err = uc_open(UC_ARCH_MIPS, static_cast<uc_mode>(UC_MODE_MIPS32 | UC_MODE_LITTLE_ENDIAN), &uc);
    if (err != UC_ERR_OK) {
        out.fault = uc_strerror(err);
        return out;
    }
    d.tx_gate = TX_GATE_IDLE;
    d.watch = PacketWatch{};
    d.empty_poll_run = 0;
    d.empty_polls = 0;

    err = uc_mem_map_ptr(uc, 0, RAM_SIZE, UC_PROT_ALL, d.ram);
    if (err == UC_ERR_OK) err = uc_mmio_map(uc, UART_PAGE, MMIO_PAGE, uart_read, &d, uart_write, &d);
    if (err == UC_ERR_OK) err = uc_mmio_map(uc, GATE_PAGE, MMIO_PAGE, gate_read, &d, gate_write, &d);
    if (err == UC_ERR_OK) {
        uint32_t sp = MONITOR_STACK_TOP;
        uint32_t ra = MONITOR_RETURN_ADDRESS;
        uc_reg_write(uc, UC_MIPS_REG_SP, &sp);
        uc_reg_write(uc, UC_MIPS_REG_RA, &ra);
        err = uc_emu_start(uc, entry, MONITOR_RETURN_ADDRESS, 0, 0);
    }
    uint32_t pc = 0;
    uc_reg_read(uc, UC_MIPS_REG_PC, &pc);
    out.pc = pc;
    out.returned = err == UC_ERR_OK && pc == MONITOR_RETURN_ADDRESS;
    if (!out.returned) out.fault = err == UC_ERR_OK ? "stopped" : uc_strerror(err);
    uc_close(uc);
    std::lock_guard g(d.mu);
    d.stats.empty_polls += d.empty_polls;
    return out;
}

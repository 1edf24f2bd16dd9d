// SPDX-License-Identifier: GPL-2.0-or-later
#include "uart.h"

#include "device.h"
#include "hardware.h"
#include "pacing.h"

#include <algorithm>

namespace {

// Brings the FIFO to model time t: waits until the line knows every byte
// released by then, and lets those bytes in.
void fifo_at(Device& d, int64_t t) {
    ProgramClock& c = d.clock;
    if (t >= c.known) c.known = line_known_after(d.line, t, IDLE_CHUNK_NS);
    const FifoView v = line_admit(d.line, t);
    d.uart.rx_held = static_cast<uint32_t>(v.held);
    if (v.lost > 0) d.uart.overrun = true;
}

// A program polling an empty FIFO whose emulation runs slower than the
// handheld would (a loaded or instrumented host) falls ever further behind
// the real clock and would answer the host late. Its time skips ahead to a
// chunk behind the real clock, never past the next byte's release: nothing
// can come in the time skipped, so no overrun is made up or missed, and
// only the count of polls in it is short.
int64_t catch_up(Device& d, int64_t t) {
    ProgramClock& c = d.clock;
    const int64_t target = std::min(monotonic_ns() - IDLE_CHUNK_NS, line_next_release(d.line));
    if (target - t <= IDLE_CHUNK_NS) return t;
    c.model = c.last_access = target;
    return target;
}

uint8_t line_status(Device& d) {
    int64_t t = clock_access(d.clock);
    uint8_t status = LSR_TX_EMPTY;
    // Nothing held, nothing due, nothing unknown: an empty poll without the lock.
    const bool quiet = d.uart.rx_held == 0 && !d.uart.overrun && t < d.clock.known;
    if (!quiet || line_next_release(d.line) <= t) {
        if (d.uart.rx_held == 0 && t >= d.clock.known) t = catch_up(d, t);
        fifo_at(d, t);
        if (d.uart.rx_held > 0) status |= LSR_DATA_READY;
        if (d.uart.overrun) status |= LSR_OVERRUN;
        d.uart.overrun = false;
    }
    if (!(status & LSR_DATA_READY)) ++d.empty_polls;
    return status;
}

uint8_t receive_byte(Device& d) {
    fifo_at(d, clock_access(d.clock));
    if (d.uart.rx_held == 0) return 0;
    const RxByte b = line_take_admitted(d.line);
    --d.uart.rx_held;
    // The first byte after an answer (or the start) is where a packet begins.
    const unsigned packet_size = xmodem_packet_size(b.value);
    if (d.watch.since_answer == 0 && packet_size != 0) line_packet_started(d.line, packet_size - XMODEM_OVERHEAD);
    packet_watch_delivered(d.watch, b.value, b.altered);
    return b.value;
}

void send_byte(Device& d, uint8_t byte) {
    {
        std::lock_guard g(d.mu);
        if (d.tx_gate & 1) ++d.stats.tx_outside_gate;
        packet_watch_sent(d.watch, d.stats.packets, byte);
    }
    // The program goes on once the byte has crossed the line.
    d.clock.model = line_send_at(d.line, &byte, 1, clock_access(d.clock));
}

void set_divisor(Device& d, uint16_t divisor) {
    d.uart.divisor = divisor;
    line_set_divisor(d.line, divisor);
    // At a shorter byte time the host's next byte may come sooner than the line said.
    d.clock.known = std::min(d.clock.known, d.clock.model);
}

}  // namespace

void uart_reset(Device& d) {
    d.uart = UartRegisters{};
    set_divisor(d, static_cast<uint16_t>(d.line.monitor_divisor));
}

void uart_program_start(Device& d) {
    d.clock = program_clock_start(line_program_start(d.line, monotonic_ns()), d.options.cpu_mhz,
                                  d.options.flash_read_ns);
    d.uart.rx_held = 0;
    d.uart.overrun = false;
}

void uart_program_end(Device& d) {
    line_program_ended(d.line);
    d.uart.rx_held = 0;
}

uint8_t uart_read_register(Device& d, uint32_t reg) {
    const bool dlab = d.uart.lcr & LCR_DLAB;
    if (reg == UART_DATA && !dlab) return receive_byte(d);
    if (reg == UART_LSR) return line_status(d);
    clock_access(d.clock);
    switch (reg) {
        case UART_DATA:
            return static_cast<uint8_t>(d.uart.divisor);
        case UART_IER:
            return dlab ? static_cast<uint8_t>(d.uart.divisor >> 8) : d.uart.ier;
        case UART_IIR:
            return IIR_NONE_PENDING;
        case UART_LCR:
            return d.uart.lcr;
        case UART_MCR:
            return d.uart.mcr;
        case UART_SCR:
            return d.uart.scr;
        default:
            return 0;
    }
}

void uart_write_register(Device& d, uint32_t reg, uint8_t value) {
    const bool dlab = d.uart.lcr & LCR_DLAB;
    if (reg == UART_DATA && !dlab) {
        send_byte(d, value);
        return;
    }
    clock_access(d.clock);
    switch (reg) {
        case UART_DATA:
            set_divisor(d, static_cast<uint16_t>((d.uart.divisor & 0xFF00) | value));
            break;
        case UART_IER:
            if (dlab)
                set_divisor(d, static_cast<uint16_t>((d.uart.divisor & 0x00FF) | (value << 8)));
            else
                d.uart.ier = value;
            break;
        case UART_LCR:
            d.uart.lcr = value;
            break;
        case UART_MCR:
            d.uart.mcr = value;
            break;
        case UART_SCR:
            d.uart.scr = value;
            break;
        default:
            break;  // FIFO control, line and modem status: nothing to keep
    }
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "uart.h"

#include "device.h"
#include "hardware.h"
#include "pacing.h"
#include "stream_wire.h"

#include <algorithm>

namespace {

// Brings the FIFO to model time t: waits until the line knows every byte
// released by then, and lets those bytes in.
void fifo_at(Device& device, int64_t t) {
    ProgramClock& c = device.clock;
    if (t >= c.known) c.known = line_known_after(device.line, t, IDLE_CHUNK_NS);
    const FifoView v = line_admit(device.line, t);
    device.uart.rx_held = static_cast<uint32_t>(v.held);
    if (v.lost > 0) device.uart.overrun = true;
}

// A program polling an empty FIFO whose emulation runs slower than the
// handheld would (a loaded or instrumented host) falls ever further behind
// the real clock and would answer the host late. Its time skips ahead to a
// chunk behind the real clock, never past the next byte's release: nothing
// can come in the time skipped, so no overrun is made up or missed, and
// only the count of polls in it is short.
int64_t catch_up(Device& device, int64_t t) {
    ProgramClock& c = device.clock;
    const int64_t target = std::min(monotonic_ns() - IDLE_CHUNK_NS, line_next_release(device.line));
    if (target - t <= IDLE_CHUNK_NS) return t;
    c.model = c.last_access = target;
    return target;
}

uint8_t line_status(Device& device) {
    int64_t t = clock_access(device.clock);
    uint8_t status = LSR_TX_EMPTY;
    // Nothing held, nothing due, nothing unknown: an empty poll without the lock.
    const bool quiet = device.uart.rx_held == 0 && !device.uart.overrun && t < device.clock.known;
    if (!quiet || line_next_release(device.line) <= t) {
        if (device.uart.rx_held == 0 && t >= device.clock.known) t = catch_up(device, t);
        fifo_at(device, t);
        if (device.uart.rx_held > 0) status |= LSR_DATA_READY;
        if (device.uart.overrun) status |= LSR_OVERRUN;
        device.uart.overrun = false;
    }
    if (!(status & LSR_DATA_READY)) ++device.empty_polls;
    return status;
}

uint8_t receive_byte(Device& device) {
    fifo_at(device, clock_access(device.clock));
    if (device.uart.rx_held == 0) return 0;
    const RxByte b = line_take_admitted(device.line);
    --device.uart.rx_held;
    // Where a packet begins: the first byte after an answer (or the start), or
    // for the stream the byte after a delimiter. A frame's first two bytes are
    // a COBS code and (mostly) its block; the short frame's data is in any frame.
    const unsigned packet_size = xmodem_packet_size(b.value);
    if (device.watch.streamed) {
        if (b.value == STREAM_DELIMITER) line_packet_started(device.line, STREAM_SHORT_DATA);
    } else if (device.watch.since_answer == 0 && packet_size != 0) {
        line_packet_started(device.line, packet_size - XMODEM_OVERHEAD);
    }
    {
        std::lock_guard g(device.mu);
        packet_watch_delivered(device.watch, device.stats.packets, b.value, b.altered);
    }
    return b.value;
}

void send_byte(Device& device, uint8_t byte) {
    {
        std::lock_guard g(device.mu);
        if (device.tx_gate & 1) ++device.stats.tx_outside_gate;
        packet_watch_sent(device.watch, device.stats.packets, byte);
    }
    // The program goes on once the byte has crossed the line.
    device.clock.model = line_send_at(device.line, &byte, 1, clock_access(device.clock));
}

void set_divisor(Device& device, uint16_t divisor) {
    device.uart.divisor = divisor;
    line_set_divisor(device.line, divisor);
    // At a shorter byte time the host's next byte may come sooner than the line said.
    device.clock.known = std::min(device.clock.known, device.clock.model);
}

}  // namespace

void uart_reset(Device& device) {
    device.uart = UartRegisters{};
    set_divisor(device, static_cast<uint16_t>(device.line.monitor_divisor));
}

void uart_program_start(Device& device) {
    device.clock = program_clock_start(line_program_start(device.line, monotonic_ns()), device.options.cpu_mhz,
                                  device.options.flash_read_ns);
    device.uart.rx_held = 0;
    device.uart.overrun = false;
}

void uart_program_end(Device& device) {
    line_program_ended(device.line);
    device.uart.rx_held = 0;
}

uint8_t uart_read_register(Device& device, uint32_t reg) {
    const bool dlab = device.uart.lcr & LCR_DLAB;
    if (reg == UART_DATA && !dlab) return receive_byte(device);
    if (reg == UART_LSR) return line_status(device);
    clock_access(device.clock);
    switch (reg) {
        case UART_DATA:
            return static_cast<uint8_t>(device.uart.divisor);
        case UART_IER:
            return dlab ? static_cast<uint8_t>(device.uart.divisor >> 8) : device.uart.ier;
        case UART_IIR:
            return IIR_NONE_PENDING;
        case UART_LCR:
            return device.uart.lcr;
        case UART_MCR:
            return device.uart.mcr;
        case UART_SCR:
            return device.uart.scr;
        default:
            return 0;
    }
}

void uart_write_register(Device& device, uint32_t reg, uint8_t value) {
    const bool dlab = device.uart.lcr & LCR_DLAB;
    if (reg == UART_DATA && !dlab) {
        send_byte(device, value);
        return;
    }
    clock_access(device.clock);
    switch (reg) {
        case UART_DATA:
            set_divisor(device, static_cast<uint16_t>((device.uart.divisor & 0xFF00) | value));
            break;
        case UART_IER:
            if (dlab)
                set_divisor(device, static_cast<uint16_t>((device.uart.divisor & 0x00FF) | (value << 8)));
            else
                device.uart.ier = value;
            break;
        case UART_LCR:
            device.uart.lcr = value;
            break;
        case UART_MCR:
            device.uart.mcr = value;
            break;
        case UART_SCR:
            device.uart.scr = value;
            break;
        default:
            break;  // FIFO control, line and modem status: nothing to keep
    }
}

#include "uart.h"

#include "device.h"
#include "hardware.h"

#include <algorithm>

namespace {

// Counts one empty poll: a microsecond of the program's time.
uint8_t empty_poll(Device& d)
{
    d.poll.model += EMPTY_POLL_NS;
    ++d.empty_polls;
    return LSR_TX_EMPTY;
}

// Line status when a byte may be visible or the clock is due for a comparison.
uint8_t line_status_slow(Device& d)
{
    PollClock& c = d.poll;
    for (;;) {
        const int64_t release = line_front_release(d.line);
        if (release <= std::max(c.model, c.seen)) {
            // Bytes in the queue are final: nothing the host sends later can
            // come before them, so the program may see them at its own time.
            if (line_ready_at(d.line, std::max(c.model, c.seen))) return LSR_TX_EMPTY | LSR_DATA_READY;
            continue;  // the front was lost to a fault: look at the next one
        }
        if (c.model < c.sync_at) return empty_poll(d);
        const int64_t now = monotonic_ns();
        c.seen = now;
        if (c.model > now) {
            // Ahead of the real clock: sleep it off, unless the host sends.
            line_wait_for_change(d.line, c.model, release);
            c.seen = monotonic_ns();
            if (c.seen < c.model) continue;
        }
        c.sync_at = c.model + POLL_SYNC_CHUNK_NS;
    }
}

uint8_t line_status(Device& d)
{
    const PollClock& c = d.poll;
    const int64_t release = line_front_release(d.line);
    if (release > c.model && release > c.seen && c.model < c.sync_at) return empty_poll(d);
    return line_status_slow(d);
}

uint8_t receive_byte(Device& d)
{
    PollClock& c = d.poll;
    RxByte b;
    if (!line_take_at(d.line, std::max(c.model, c.seen), b)) return 0;
    // The program saw the byte at its release: had it known of the byte, it
    // would have stopped polling there.
    c.model = b.release_ns;
    // The first byte after an answer (or the start) is where a packet begins.
    const unsigned packet_size = xmodem_packet_size(b.value);
    if (d.watch.since_answer == 0 && packet_size != 0) line_packet_started(d.line, packet_size - XMODEM_OVERHEAD);
    packet_watch_delivered(d.watch, b.value, b.altered);
    return b.value;
}

void send_byte(Device& d, uint8_t byte)
{
    {
        std::lock_guard g(d.mu);
        if (d.tx_gate & 1) ++d.stats.tx_outside_gate;
        packet_watch_sent(d.watch, d.stats.packets, byte);
    }
    // The program goes on once the byte has crossed the line.
    d.poll.model = line_send_at(d.line, &byte, 1, d.poll.model);
}

void set_divisor(Device& d, uint16_t divisor)
{
    d.uart.divisor = divisor;
    line_set_divisor(d.line, divisor);
}

}  // namespace

void uart_reset(Device& d)
{
    d.uart = UartRegisters{};
    set_divisor(d, static_cast<uint16_t>(d.line.monitor_divisor));
}

void uart_program_start(Device& d)
{
    const int64_t now = monotonic_ns();
    d.poll = PollClock{now, now, now + POLL_SYNC_CHUNK_NS};
}

uint8_t uart_read_register(Device& d, uint32_t reg)
{
    const bool dlab = d.uart.lcr & LCR_DLAB;
    switch (reg) {
    case UART_DATA: return dlab ? static_cast<uint8_t>(d.uart.divisor) : receive_byte(d);
    case UART_IER: return dlab ? static_cast<uint8_t>(d.uart.divisor >> 8) : d.uart.ier;
    case UART_IIR: return IIR_NONE_PENDING;
    case UART_LCR: return d.uart.lcr;
    case UART_MCR: return d.uart.mcr;
    case UART_LSR: return line_status(d);
    case UART_SCR: return d.uart.scr;
    default: return 0;
    }
}

void uart_write_register(Device& d, uint32_t reg, uint8_t value)
{
    const bool dlab = d.uart.lcr & LCR_DLAB;
    switch (reg) {
    case UART_DATA:
        if (dlab)
            set_divisor(d, static_cast<uint16_t>((d.uart.divisor & 0xFF00) | value));
        else
            send_byte(d, value);
        break;
    case UART_IER:
        if (dlab)
            set_divisor(d, static_cast<uint16_t>((d.uart.divisor & 0x00FF) | (value << 8)));
        else
            d.uart.ier = value;
        break;
    case UART_LCR: d.uart.lcr = value; break;
    case UART_MCR: d.uart.mcr = value; break;
    case UART_SCR: d.uart.scr = value; break;
    default: break;  // FIFO control, line and modem status: nothing to keep
    }
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "report.h"

#include "hardware.h"

#include <cstdio>

namespace {

std::string printf_string(const char* format, auto... args) {
    char buf[256];
    std::snprintf(buf, sizeof buf, format, args...);
    return buf;
}

using ull = unsigned long long;

}  // namespace

std::string format_report(const std::string& flash_path, uint32_t flash_size, const DeviceStats& s,
                          const LineCounters& counters, bool silent, bool hung_up) {
    std::string r = "qz4sim report\n";
    r += printf_string("flash: %s (0x%x bytes)\n", flash_path.c_str(), flash_size);
    bool monitor_hit = false;
    for (const ProgramRecord& p : s.programmed) {
        r += printf_string("programmed: 0x%06x..0x%06x (0x%x bytes) from RAM %08x in %u blocks\n", p.offset,
                           p.offset + p.size - 1, p.size, p.ram, p.blocks);
        if (p.offset < MONITOR_AREA_START + MONITOR_AREA_SIZE && p.offset + p.size > MONITOR_AREA_START)
            monitor_hit = true;
    }
    if (s.programmed.empty()) r += "programmed: nothing\n";
    for (const ProgramRun& run : s.runs)
        r += printf_string("program run: %llu packets accepted, %.3f s\n", ull(run.packets_accepted), run.seconds);
    r += printf_string("monitor area overwritten: %s\n", monitor_hit ? "yes" : "no");
    r += format_flash_faults(s.flash_faults);
    r += printf_string("records: %llu acked, %llu refused, %llu loads completed\n", ull(s.records_acked),
                       ull(s.records_refused), ull(s.loads_completed));
    r += printf_string("programs: %llu started, %llu returned, %llu faulted\n", ull(s.programs_started),
                       ull(s.programs_returned), ull(s.programs_faulted));
    r += printf_string("packets: %llu answered, %llu damaged, %llu damaged accepted\n", ull(s.packets.answered),
                       ull(s.packets.damaged), ull(s.packets.damaged_accepted));
    // Signed: a receiver that acknowledges frames it never got shows as less than nothing.
    const StreamCounts& st = s.packets.stream;
    r += printf_string("stream: %llu NAKs sent, %lld packets (%lld bytes) received beyond those stored\n", ull(st.naks),
                       static_cast<long long>(st.received - st.stored),
                       static_cast<long long>(st.received_bytes - st.stored_bytes));
    r += printf_string(
        "faults: rx dropped %llu, rx corrupted %llu, rx inserted %llu, rx swapped %llu, "
        "tx corrupted %llu, tx inserted %llu\n",
        ull(counters.rx_dropped), ull(counters.rx_corrupted), ull(counters.rx_inserted), ull(counters.rx_swapped),
        ull(counters.tx_corrupted), ull(counters.tx_inserted));
    r += printf_string("line: %llu bytes received, %llu sent, %llu lost, silent %s, hung up %s\n",
                       ull(counters.rx_bytes), ull(counters.tx_bytes), ull(counters.tx_lost), silent ? "yes" : "no",
                       hung_up ? "yes" : "no");
    r += printf_string("empty polls: %llu\n", ull(s.empty_polls));
    // The divisor is the one the last program left: the monitor does not set it again.
    const unsigned effective = s.uart.divisor == 0 ? DIVISOR_ZERO_AS : s.uart.divisor;
    r += printf_string("uart: divisor %u, %.0f bit/s from %u Hz, monitor's divisor %u, %llu programs left another\n",
                       s.uart.divisor, double(s.uart.clock) / (16.0 * effective), s.uart.clock, s.uart.monitor_divisor,
                       ull(s.programs_left_divisor));
    r += printf_string("uart: %llu bytes lost to overrun\n", ull(counters.rx_overrun));
    r += printf_string("rate mismatch: %llu received garbled, %llu sent garbled\n", ull(counters.rx_garbled),
                       ull(counters.tx_garbled));
    r += printf_string("bytes sent with the gate bit set: %llu\n", ull(s.tx_outside_gate));
    r += printf_string("boots: %u system, %u restore\n", s.system_boots, s.restores);
    r += printf_string("monitor: %llu packet bytes read as commands\n", ull(s.packet_bytes_at_monitor));
    return r;
}

std::string device_report(Device& device) {
    DeviceStats stats;
    {
        std::lock_guard g(device.mu);
        stats = device.stats;
    }
    bool silent, hung_up;
    LineCounters counters;
    {
        std::lock_guard g(device.line.mu);
        silent = device.line.silent;
        hung_up = device.line.hung_up;
        stats.uart = {device.line.clock_hz, device.line.divisor, device.line.monitor_divisor};
        counters = line_counters_held(device.line);
    }
    return format_report(device.flash.path, static_cast<uint32_t>(device.flash.bytes.size()), stats, counters, silent,
                         hung_up);
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "monitor.h"

#include "cpu.h"
#include "hardware.h"
#include "pacing.h"
#include "srecord.h"
#include "stream_wire.h"
#include "uart.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

const char* const PMON_PROMPT_TEXT = "PMON> ";

namespace {

constexpr char CRLF[] = "\r\n";
constexpr char RESTORE_INIT[] = "init=/sbin/restore_defaults";
// Longest command line the monitor keeps; further characters are ignored.
constexpr size_t COMMAND_LINE_MAX = 255;
// Longest record "load" keeps; a longer one is refused when its ETX comes.
constexpr size_t RECORD_MAX = 600;
// Pause between the restore program's "Hard reset" and the monitor's restart.
constexpr auto RESET_PAUSE = std::chrono::milliseconds(200);
// --nuls-at-prompt: an idle line's NULs, closer together than any quiet a reader waits for.
constexpr auto IDLE_NUL_GAP = std::chrono::milliseconds(40);
constexpr int NULS_BEFORE_PROMPT = 4;

void send(Device& device, const std::string& text) { line_send(device.line, text); }

void send_byte(Device& device, uint8_t b) { line_send(device.line, &b, 1); }

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", v);
    return buf;
}

bool parse_hex(const std::string& text, uint32_t& value) {
    std::string t = text;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
    if (t.empty() || t.size() > 8) return false;
    for (char c : t)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    value = static_cast<uint32_t>(std::strtoul(t.c_str(), nullptr, 16));
    return true;
}

// Reads a typed line up to CR with echo and editing.
std::string read_typed_line(Device& device) {
    std::string line;
    for (;;) {
        const int c = line_get(device.line, -1);
        // No command holds these: they are a transfer's bytes that missed the receiver
        // (the stream's frames may hold none of the others, but all end with a zero).
        if (c == SOH || c == STX || c == CAN || c == STREAM_DELIMITER) {
            std::lock_guard g(device.mu);
            ++device.stats.packet_bytes_at_monitor;
        }
        if (c == '\r') return line;
        if (c == BS || c == DEL) {
            if (!line.empty()) {
                line.pop_back();
                send(device, "\b \b");
            }
        } else if (c >= 0x20 && c < 0x7F && line.size() < COMMAND_LINE_MAX) {
            line.push_back(static_cast<char>(c));
            send_byte(device, static_cast<uint8_t>(c));
        }
        // Other control bytes (LF included) are not echoed and not kept.
    }
}

bool store_record(Device& device, const SRecord& r) {
    const uint32_t at = physical_address(r.address);
    if (uint64_t(at) + r.data.size() > RAM_SIZE) return false;
    std::copy(r.data.begin(), r.data.end(), device.ram + at);
    return true;
}

void run_load(Device& device) {
    send(device, "Loading S-records, each ended by ETX\r\n");
    std::string record;
    unsigned number = 0;
    uint64_t bytes = 0;
    for (;;) {
        const int c = line_get(device.line, -1);
        if (c == ETX) {
            SRecord r;
            std::string why;
            ++number;
            bool ok = record.size() <= RECORD_MAX && srecord_parse(record, r, why);
            if (ok && r.kind == SRecordKind::data) ok = store_record(device, r);
            if (device.options.faults.nak_record == number) ok = false;
            record.clear();
            {
                std::lock_guard g(device.mu);
                ++(ok ? device.stats.records_acked : device.stats.records_refused);
            }
            send_byte(device, ok ? ACK : NAK);
            if (!ok) continue;
            if (r.kind == SRecordKind::data) bytes += r.data.size();
            if (r.kind == SRecordKind::end) {
                {
                    std::lock_guard g(device.mu);
                    ++device.stats.loads_completed;
                }
                send(device, "\r\nLoaded " + std::to_string(bytes) + " bytes, entry point " + hex(r.address) + CRLF);
                return;
            }
        } else if (record.size() <= RECORD_MAX) {
            // Every other byte is record text, line ends too: only the end record ends a load.
            record.push_back(static_cast<char>(c));
        }
    }
}

void run_go(Device& device, uint32_t entry) {
    uint64_t accepted_before;
    {
        std::lock_guard g(device.mu);
        ++device.stats.programs_started;
        accepted_before = device.stats.packets.accepted;
    }
    const int64_t started_ns = monotonic_ns();
    line_set_faults_active(device.line, true);
    const ProgramOutcome out = cpu_run(device, entry);
    line_set_faults_active(device.line, false);
    {
        std::lock_guard g(device.mu);
        ++(out.returned ? device.stats.programs_returned : device.stats.programs_faulted);
        const double seconds = double(monotonic_ns() - started_ns) / 1e9;
        device.stats.runs.push_back({device.stats.packets.accepted - accepted_before, seconds});
    }
    if (!out.returned) {
        char buf[128];
        std::snprintf(buf, sizeof buf, "\r\nException at pc %08x: %s\r\n", out.pc, out.fault.c_str());
        send(device, buf);
    }
}

// The erase before programming [at, at + length): NOR flash erases whole
// blocks only, so every block the range touches is erased from its start to
// its end, the bytes around the range included; a block erased already for
// this command (erased_until) is not erased again.
bool erase_touched_blocks(FlashStore& flash, uint32_t at, uint32_t length, uint64_t& erased_until,
                          std::string& error) {
    const uint64_t first = std::max<uint64_t>(at - at % FLASH_BLOCK_SIZE, erased_until);
    const uint64_t end = std::min<uint64_t>((uint64_t(at) + length + FLASH_BLOCK_SIZE - 1) / FLASH_BLOCK_SIZE *
                                                FLASH_BLOCK_SIZE,
                                            flash.bytes.size());
    if (first >= end) return true;
    erased_until = end;
    return flash_erase(flash, static_cast<uint32_t>(first), static_cast<size_t>(end - first), error);
}

// One part of a flash command as NOR flash takes it: the blocks it touches
// erased, then the part programmed, unless a fault skips it. Stuck bits still
// to place are chosen from its data first.
bool program_block(Device& device, uint32_t at, const uint8_t* data, uint32_t length, uint64_t& erased_until,
                   std::string& error) {
    FlashFaultState& faults = device.flash_faults;
    std::lock_guard g(device.mu);
    if (flash_block_skipped(faults, device.options.faults.skip_block)) {
        device.stats.flash_faults.skipped = true;
        device.stats.flash_faults.skipped_offset = at;
        device.stats.flash_faults.skipped_size = length;
        return true;
    }
    if (!erase_touched_blocks(device.flash, at, length, erased_until, error)) return false;
    if (faults.stuck_left > 0) {
        const std::vector<StuckBit> bits = choose_stuck_bits(faults.rng, data, length, at, faults.stuck_left);
        faults.stuck_left -= static_cast<unsigned>(bits.size());
        device.stats.flash_faults.stuck.insert(device.stats.flash_faults.stuck.end(), bits.begin(), bits.end());
        if (!flash_stick_bits(device.flash, bits, error)) return false;
    }
    return flash_program(device.flash, at, data, length, error);
}

void run_flash(Device& device, const Command& cmd) {
    const std::string problem =
        flash_range_problem(cmd.ram, cmd.size, cmd.offset, static_cast<uint32_t>(device.flash.bytes.size()));
    if (!problem.empty()) {
        send(device, "flash: " + problem + CRLF);
        return;
    }
    send(device, "Program flash 0x" + hex(cmd.offset) + "..0x" + hex(cmd.offset + cmd.size - 1) + " from " +
                     hex(cmd.ram) + "? (y/n) ");
    const std::string answer = read_typed_line(device);
    send(device, CRLF);
    if (answer != "y") {
        send(device, "Not programmed.\r\n");
        return;
    }
    const unsigned blocks = (cmd.size + FLASH_BLOCK_SIZE - 1) / FLASH_BLOCK_SIZE;
    const uint8_t* source = device.ram + physical_address(cmd.ram);
    uint64_t erased_until = 0;
    for (unsigned k = 0; k < blocks; ++k) {
        const uint32_t done = k * FLASH_BLOCK_SIZE;
        const uint32_t length = std::min(FLASH_BLOCK_SIZE, cmd.size - done);
        const unsigned every = device.options.faults.error_every;
        if (every != 0 && (k + 1) % every == 0)
            send(device, "Error: block " + std::to_string(k + 1) + " did not verify, programmed again\r\n");
        if (device.options.block_ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(device.options.block_ms));
        std::string error;
        if (!program_block(device, cmd.offset + done, source + done, length, erased_until, error)) {
            send(device, "Error: " + error + CRLF);
            return;
        }
        send(device, "Programming block " + std::to_string(k + 1) + " of " + std::to_string(blocks) + " at 0x" +
                    hex(cmd.offset + done) + CRLF);
    }
    {
        std::lock_guard g(device.mu);
        device.stats.programmed.push_back({cmd.offset, cmd.size, cmd.ram, blocks});
    }
    send(device, "Flash programmed: 0x" + hex(cmd.size) + " bytes at 0x" + hex(cmd.offset) + CRLF);
}

// Boots the system; returns true when the handheld comes back to the monitor.
bool run_boot(Device& device, const Command& cmd) {
    send(device,
         "Starting kernel...\r\n"
         "Linux version 2.4.18-qz4 (qz4sim)\r\n"
         "Kernel command line: console=ttyS0,115200\r\n"
         "Freeing unused kernel memory: 64k freed\r\n");
    if (!cmd.restore_defaults) {
        {
            std::lock_guard g(device.mu);
            ++device.stats.system_boots;
        }
        send(device, "\r\nqz4 login: ");
        return false;
    }
    {
        std::lock_guard g(device.mu);
        ++device.stats.restores;
    }
    send(device,
         "Restoring factory defaults...\r\n"
         "Defaults restored.\r\n"
         "Hard reset\r\n");
    return true;
}

// The prompt after a flash command, between NULs: some before it, then one
// every IDLE_NUL_GAP until the host's next byte is there.
void send_prompt_among_nuls(Device& device) {
    send(device, std::string(NULS_BEFORE_PROMPT, '\0'));
    send(device, PMON_PROMPT_TEXT);
    while (!line_ready(device.line)) {
        send_byte(device, 0);
        std::this_thread::sleep_for(IDLE_NUL_GAP);
    }
}

void system_running(Device& device) {
    // The booted system does not answer on this line; only a reset would bring the monitor back.
    for (;;) line_get(device.line, -1);
}

}  // namespace

Command parse_command(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    Command c;
    if (words.empty()) return c;
    c.name = words[0];
    if (c.name == "load") {
        c.kind = CommandKind::load;
    } else if (c.name == "g") {
        c.kind = CommandKind::go;
        if (words.size() != 3 || words[1] != "-e" || !parse_hex(words[2], c.entry)) {
            c.kind = CommandKind::bad_usage;
            c.usage = "g -e ADDR";
        }
    } else if (c.name == "flash") {
        c.kind = CommandKind::flash;
        if (words.size() != 4 || !parse_hex(words[1], c.ram) || !parse_hex(words[2], c.size) ||
            !parse_hex(words[3], c.offset)) {
            c.kind = CommandKind::bad_usage;
            c.usage = "flash RAM SIZE OFFSET";
        }
    } else if (c.name == "unzip") {
        c.kind = CommandKind::unzip;
    } else if (c.name == "$linux") {
        c.kind = CommandKind::boot;
        for (size_t i = 1; i < words.size(); ++i)
            if (words[i] == RESTORE_INIT) c.restore_defaults = true;
    } else {
        c.kind = CommandKind::unknown;
    }
    return c;
}

std::string flash_range_problem(uint32_t ram, uint32_t size, uint32_t offset, uint32_t flash_size) {
    if (size == 0) return "nothing to program";
    if (uint64_t(physical_address(ram)) + size > RAM_SIZE) return "source outside RAM";
    if (uint64_t(offset) + size > flash_size) return "range outside the flash";
    return "";
}

void monitor_run(Device& device, const std::function<void()>& booted) {
    uart_reset(device);
    fault_rng_seed(device.flash_faults.rng, device.options.faults.seed);
    device.flash_faults.stuck_left = device.options.faults.stuck_bits;
    {
        std::lock_guard g(device.mu);
        device.stats.flash_faults.stuck_asked = device.options.faults.stuck_bits;
        device.stats.flash_faults.skip_asked = device.options.faults.skip_block;
    }
    for (;;) {
        const Command cmd = parse_command(read_typed_line(device));
        send(device, CRLF);
        switch (cmd.kind) {
            case CommandKind::empty:
                break;
            case CommandKind::load:
                run_load(device);
                break;
            case CommandKind::go:
                run_go(device, cmd.entry);
                break;
            case CommandKind::flash:
                run_flash(device, cmd);
                break;
            case CommandKind::unzip:
                send(device, "Unzipping kernel... done\r\n");
                break;
            case CommandKind::boot: {
                const bool back_to_monitor = run_boot(device, cmd);
                if (device.options.exit_after_boot && booted) {
                    booted();
                    system_running(device);
                }
                if (!back_to_monitor) system_running(device);
                std::this_thread::sleep_for(RESET_PAUSE);
                uart_reset(device);
                send(device, "\r\nPMON/QZ4 boot monitor (qz4sim)\r\n");
                break;
            }
            case CommandKind::bad_usage:
                send(device, "usage: " + cmd.usage + CRLF);
                break;
            case CommandKind::unknown:
                send(device, cmd.name + ": Command not found" + CRLF);
                break;
        }
        if (cmd.kind == CommandKind::flash && device.options.faults.nuls_at_prompt)
            send_prompt_among_nuls(device);
        else
            send(device, PMON_PROMPT_TEXT);
    }
}

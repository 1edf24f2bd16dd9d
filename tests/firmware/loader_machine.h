// SPDX-License-Identifier: GPL-2.0-or-later
// The loader on an emulated MIPS32 little-endian CPU, for its tests.
//
// unicorn runs the real image, taken from the committed S-record table, in RAM
// at physical 0 (and the second stage from its table, at physical 0x83000) (unicorn folds the kseg0 and kseg1 addresses itself). A small
// 16550 model answers on the UART's page and a plain 16-bit register on the
// page of 0xAB000308. The far end of the line is a script: bytes to deliver,
// pauses during which the line stays silent until the loader sends its next
// byte (that is how a sender waits for an answer, and how the loader's own
// time-out is reached), quiet stretches of a number of polls, and changes of
// the host's rate. Once the script has run out, a peer (another program on
// a pty, say) can take over the far end. Every call of the entry runs to its
// return in one uc_emu_start, so the CPU is never stopped in the middle of an
// access.
//
// The UART has a divisor latch (DLL/DLM behind LCR's DLAB) and a clock that
// makes the starting divisor 115200 bit/s. While the loader's rate and the
// host's differ by more than 2 %, every byte is garbled both ways (it arrives
// as its complement). A byte written keeps the transmitter busy (TEMT clear)
// for a few polls of the line status; changing the divisor during them is
// recorded, since it would garble that byte on a real line.
//
// A flash may be mapped read-only at physical 0x1F000000, where the verify
// entry reads it (0xBF000000 uncached); past its end nothing is mapped.
#pragma once

#include <unicorn/unicorn.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "monitor/monitor_commands.h"
#include "serial/line_speed.h"

// The entries the host starts and the RAM area where the data must land are
// the host's own (monitor_commands.h); the starting divisor makes MONITOR_RATE.
constexpr std::uint32_t FLASH_PHYSICAL = 0x1F000000;  // flash offset 0
constexpr std::uint32_t PHYS_MASK = 0x1FFFFFFF;       // kseg0/kseg1 to physical
constexpr std::uint16_t GATE_START = 0xA5A5;          // bit 0 set, other bits a pattern

struct LineStep {
    enum Kind { Byte, Pause, Quiet, HostRate } kind = Byte;
    std::uint8_t byte = 0;
    long count = 0;  // polls of a quiet stretch, or the host's new rate in bit/s
};

// The far end of the line once the script is done; called from the UART's
// accesses, so it must not block.
class LinePeer {
public:
    virtual ~LinePeer() = default;
    virtual int receive() = 0;                    // a byte for the loader, or -1 when none waits
    virtual void deliver(std::uint8_t byte) = 0;  // a byte the loader sent, as heard
};

struct StoreRecord {
    std::uint32_t physical;
    int size;
};

class LoaderMachine {
public:
    LoaderMachine();
    ~LoaderMachine();
    LoaderMachine(const LoaderMachine&) = delete;
    LoaderMachine& operator=(const LoaderMachine&) = delete;

    void send(const std::vector<std::uint8_t>& bytes);
    void pause();
    // Silence for this many polls of the line status, whatever the loader does.
    void quiet(long polls);
    // The host's rate from here on (it starts at the monitor's).
    void host_rate(long bit_per_second);
    // The host's rate at once, for a peer.
    void set_host_rate(long bit_per_second) { host_rate_ = bit_per_second; }
    // Takes over the far end when the script is empty.
    void attach(LinePeer* peer) { peer_ = peer; }

    // The UART as the monitor leaves it; the clock follows from the divisor.
    void set_uart(std::uint16_t divisor, std::uint8_t lcr);
    std::uint16_t divisor() const { return static_cast<std::uint16_t>(dll_ | dlm_ << 8); }
    std::uint8_t lcr() const { return lcr_; }
    // The rate a divisor makes with this UART's clock.
    long rate_of(std::uint16_t divisor) const;

    // Calls the entry once, as the monitor does, and waits for its return.
    void run(std::uint32_t entry = LOADER_ENTRY);

    std::vector<std::uint8_t> read(std::uint32_t address, std::size_t length);
    void fill(std::uint32_t address, std::size_t length, std::uint8_t value);
    // Maps contents (whole 4 KiB pages) as the flash, read-only; once per machine.
    void map_flash(const std::vector<std::uint8_t>& contents);
    // Little-endian words, also from a peer while the loader runs (data, never code).
    void write_word(std::uint32_t address, std::uint32_t value);
    // The first aligned word holding value, or 0.
    std::uint32_t find_word(std::uint32_t from, std::size_t length, std::uint32_t value);

    // Results of the last run.
    uc_err error = UC_ERR_OK;
    std::string return_problem;  // empty when it returned with sp, s0-s7, fp, gp kept
    std::string sent;            // bytes written to the UART's data register, as the host heard them
    std::string gate_trace;      // 'L' gate bit 0 cleared, 'H' set, 'X' byte handed over
    bool gate_other_bits_kept = true;
    std::vector<StoreRecord> stores;      // every store to memory (device pages left out)
    std::uint64_t silent_polls = 0;       // line status reads that found no byte
    std::uint32_t stack_top = 0;          // sp at the call
    std::vector<std::uint16_t> divisors;  // the divisor at the start and after each change
    bool divisor_changed_while_sending = false;
    bool lcr_other_bits_kept = true;  // LCR only ever held its starting value, with or without DLAB

    // Callbacks of the device models.
    std::uint64_t uart_read(std::uint64_t offset);
    void uart_write(std::uint64_t offset, std::uint64_t value);
    std::uint64_t gate_read();
    void gate_write(std::uint64_t value);
    void note_store(std::uint64_t address, int size);

private:
    uc_engine* uc_ = nullptr;
    uc_hook store_hook_ = 0;
    bool rates_agree() const;
    void take_rate_changes();
    std::uint8_t heard(std::uint8_t byte) const { return rates_agree() ? byte : static_cast<std::uint8_t>(~byte); }

    std::deque<LineStep> line_;
    std::uint16_t gate_ = GATE_START;
    long clock_ = 16 * MONITOR_RATE * 8;
    long host_rate_ = MONITOR_RATE;
    std::uint8_t dll_ = 8, dlm_ = 0, ier_ = 0, lcr_ = 0x03, lcr_start_ = 0x03;
    int transmitter_busy_ = 0;  // polls of the line status until TEMT
    LinePeer* peer_ = nullptr;
    int peer_byte_ = -1;               // taken from the peer, not yet read by the loader
    std::vector<std::uint8_t> flash_;  // backs the flash mapping
};

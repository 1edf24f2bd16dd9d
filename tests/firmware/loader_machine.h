// The loader on an emulated MIPS32 little-endian CPU, for its tests.
//
// unicorn runs the real image, taken from the committed S-record table, in RAM
// at physical 0 (unicorn folds the kseg0 and kseg1 addresses itself). A small
// 16550 model answers on the UART's page and a plain 16-bit register on the
// page of 0xAB000308. The far end of the line is a script: bytes to deliver,
// and pauses during which the line stays silent until the loader sends its
// next byte; that is how a sender waits for an answer, and how the loader's own
// time-out is reached. Every call of the entry runs to its return in one
// uc_emu_start, so the CPU is never stopped in the middle of an access.
#pragma once

#include <unicorn/unicorn.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

constexpr std::uint32_t LOADER_ENTRY = 0xA0080274;  // what "g -e a0080274" calls
constexpr std::uint32_t RECEIVE_AREA = 0x80090000;  // where the data must land
constexpr std::uint32_t PHYS_MASK = 0x1FFFFFFF;     // kseg0/kseg1 to physical
constexpr std::uint16_t GATE_START = 0xA5A5;        // bit 0 set, other bits a pattern

struct LineStep {
    bool pause = false;  // silence until the loader sends a byte
    std::uint8_t byte = 0;
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

    // Calls the entry once, as the monitor does, and waits for its return.
    void run();

    std::vector<std::uint8_t> read(std::uint32_t address, std::size_t length);
    void fill(std::uint32_t address, std::size_t length, std::uint8_t value);

    // Results of the last run.
    uc_err error = UC_ERR_OK;
    std::string return_problem;   // empty when it returned with sp, s0-s7, fp, gp kept
    std::string sent;             // bytes written to the UART's data register
    std::string gate_trace;       // 'L' gate bit 0 cleared, 'H' set, 'X' byte handed over
    bool gate_other_bits_kept = true;
    std::vector<StoreRecord> stores;  // every store to memory (device pages left out)
    std::uint64_t silent_polls = 0;   // line status reads that found no byte
    std::uint32_t stack_top = 0;      // sp at the call

    // Callbacks of the device models.
    std::uint64_t uart_read(std::uint64_t offset);
    void uart_write(std::uint64_t offset, std::uint64_t value);
    std::uint64_t gate_read();
    void gate_write(std::uint64_t value);
    void note_store(std::uint64_t address, int size);

private:
    uc_engine* uc_ = nullptr;
    uc_hook store_hook_ = 0;
    std::deque<LineStep> line_;
    std::uint16_t gate_ = GATE_START;
};

// SPDX-License-Identifier: GPL-2.0-or-later
#include "firmware/loader_machine.h"

#include "firmware/srec_parse.h"

#include <cstring>
#include <stdexcept>

namespace {

constexpr std::uint64_t RAM_SIZE = 0x800000;      // 8 MiB from physical 0: past the receive limit
constexpr std::uint64_t UART_PAGE = 0x0C000000;   // holds the UART at 0xAC000010
constexpr std::uint64_t UART_DATA_OFFSET = 0x10;  // DLL with DLAB
constexpr std::uint64_t UART_IER_OFFSET = 0x11;   // DLM with DLAB
constexpr std::uint64_t UART_LCR_OFFSET = 0x13;
constexpr std::uint64_t UART_LSR_OFFSET = 0x15;
constexpr std::uint8_t LCR_DLAB = 0x80;
constexpr std::uint64_t GATE_PAGE = 0x0B000000;  // holds the register at 0xAB000308
constexpr std::uint64_t GATE_OFFSET = 0x308;
constexpr std::uint64_t DEVICE_PAGE_SIZE = 0x1000;
constexpr std::uint8_t LSR_DATA_READY = 0x01;
constexpr std::uint8_t LSR_TX_FREE = 0x20;   // the holding register takes a byte
constexpr std::uint8_t LSR_TX_EMPTY = 0x40;  // nothing left to shift out
constexpr int TRANSMIT_POLLS = 3;            // status reads while a byte goes out
constexpr double RATE_TOLERANCE = 0.02;
constexpr std::uint32_t STACK_TOP = 0xA0088000;       // the monitor's stack, below the data
constexpr std::uint32_t RETURN_ADDRESS = 0xA01FFFF0;  // the run ends when pc gets here

// Callee-saved registers with the values the caller expects back.
struct SavedRegister {
    int id;
    const char* name;
    std::uint32_t value;
};
constexpr SavedRegister SAVED_REGISTERS[] = {
    {UC_MIPS_REG_S0, "s0", 0x50505050}, {UC_MIPS_REG_S1, "s1", 0x51515151}, {UC_MIPS_REG_S2, "s2", 0x52525252},
    {UC_MIPS_REG_S3, "s3", 0x53535353}, {UC_MIPS_REG_S4, "s4", 0x54545454}, {UC_MIPS_REG_S5, "s5", 0x55555555},
    {UC_MIPS_REG_S6, "s6", 0x56565656}, {UC_MIPS_REG_S7, "s7", 0x57575757}, {UC_MIPS_REG_FP, "fp", 0x5F5F5F5F},
    {UC_MIPS_REG_GP, "gp", 0x60606060}, {UC_MIPS_REG_SP, "sp", STACK_TOP},
};

void check(uc_err err, const char* what) {
    if (err != UC_ERR_OK) throw std::runtime_error(std::string(what) + ": " + uc_strerror(err));
}

bool on_device_page(std::uint64_t physical) {
    return (physical >= UART_PAGE && physical < UART_PAGE + DEVICE_PAGE_SIZE) ||
           (physical >= GATE_PAGE && physical < GATE_PAGE + DEVICE_PAGE_SIZE);
}

std::uint64_t uart_read_cb(uc_engine*, std::uint64_t offset, unsigned, void* machine) {
    return static_cast<LoaderMachine*>(machine)->uart_read(offset);
}

void uart_write_cb(uc_engine*, std::uint64_t offset, unsigned, std::uint64_t value, void* machine) {
    static_cast<LoaderMachine*>(machine)->uart_write(offset, value);
}

std::uint64_t gate_read_cb(uc_engine*, std::uint64_t offset, unsigned, void* machine) {
    return offset == GATE_OFFSET ? static_cast<LoaderMachine*>(machine)->gate_read() : 0;
}

void gate_write_cb(uc_engine*, std::uint64_t offset, unsigned, std::uint64_t value, void* machine) {
    if (offset == GATE_OFFSET) static_cast<LoaderMachine*>(machine)->gate_write(value);
}

void store_cb(uc_engine*, uc_mem_type, std::uint64_t address, int size, std::int64_t, void* machine) {
    static_cast<LoaderMachine*>(machine)->note_store(address, size);
}

}  // namespace

// unicorn 2.0.1 leaves a small allocation of its own behind when a store hits
// a page that also holds translated code (the loader's variables share their
// page with its code); that is the emulator's, not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libunicorn.so\n"; }

LoaderMachine::LoaderMachine() {
    SrecImage image = loader_table_image();
    if (image.bytes.empty()) throw std::runtime_error("the loader table holds no image");
    check(uc_open(UC_ARCH_MIPS, static_cast<uc_mode>(UC_MODE_MIPS32 | UC_MODE_LITTLE_ENDIAN), &uc_), "uc_open");
    check(uc_mem_map(uc_, 0, RAM_SIZE, UC_PROT_ALL), "map RAM");
    check(uc_mmio_map(uc_, UART_PAGE, DEVICE_PAGE_SIZE, uart_read_cb, this, uart_write_cb, this), "map UART");
    check(uc_mmio_map(uc_, GATE_PAGE, DEVICE_PAGE_SIZE, gate_read_cb, this, gate_write_cb, this), "map gate register");
    check(uc_mem_write(uc_, image.base & PHYS_MASK, image.bytes.data(), image.bytes.size()), "load image");
    // The second stage too, where a fast run uploads it: no other entry reaches it.
    SrecImage stage = stream_stage_image();
    if (stage.bytes.empty()) throw std::runtime_error("the second stage's table holds no image");
    check(uc_mem_write(uc_, stage.base & PHYS_MASK, stage.bytes.data(), stage.bytes.size()), "load second stage");
    check(uc_hook_add(uc_, &store_hook_, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(store_cb), this, 1, 0),
          "hook stores");
}

LoaderMachine::~LoaderMachine() { uc_close(uc_); }

void LoaderMachine::send(const std::vector<std::uint8_t>& bytes) {
    for (std::uint8_t byte : bytes) line_.push_back({LineStep::Byte, byte});
}

void LoaderMachine::pause() { line_.push_back({LineStep::Pause}); }

void LoaderMachine::quiet(long polls) { line_.push_back({LineStep::Quiet, 0, polls}); }

void LoaderMachine::host_rate(long bit_per_second) { line_.push_back({LineStep::HostRate, 0, bit_per_second}); }

void LoaderMachine::set_uart(std::uint16_t divisor, std::uint8_t lcr) {
    dll_ = static_cast<std::uint8_t>(divisor);
    dlm_ = static_cast<std::uint8_t>(divisor >> 8);
    lcr_ = lcr_start_ = lcr;
    clock_ = 16 * MONITOR_RATE * divisor;
}

long LoaderMachine::rate_of(std::uint16_t divisor) const { return divisor == 0 ? 0 : clock_ / (16L * divisor); }

bool LoaderMachine::rates_agree() const {
    const double loader_rate = divisor() == 0 ? 0.0 : clock_ / (16.0 * divisor());
    return loader_rate >= host_rate_ * (1 - RATE_TOLERANCE) && loader_rate <= host_rate_ * (1 + RATE_TOLERANCE);
}

// A change of the host's rate takes effect when the script reaches it.
void LoaderMachine::take_rate_changes() {
    while (!line_.empty() && line_.front().kind == LineStep::HostRate) {
        host_rate_ = line_.front().count;
        line_.pop_front();
    }
}

void LoaderMachine::run(std::uint32_t entry) {
    sent.clear();
    divisors = {divisor()};
    divisor_changed_while_sending = false;
    lcr_other_bits_kept = true;
    transmitter_busy_ = 0;
    gate_trace.clear();
    gate_other_bits_kept = true;
    stores.clear();
    silent_polls = 0;
    return_problem.clear();
    stack_top = STACK_TOP;

    for (const SavedRegister& reg : SAVED_REGISTERS) check(uc_reg_write(uc_, reg.id, &reg.value), "set register");
    std::uint32_t ra = RETURN_ADDRESS;
    check(uc_reg_write(uc_, UC_MIPS_REG_RA, &ra), "set ra");

    error = uc_emu_start(uc_, entry, RETURN_ADDRESS, 0, 0);

    std::uint32_t pc = 0;
    check(uc_reg_read(uc_, UC_MIPS_REG_PC, &pc), "read pc");
    if (pc != RETURN_ADDRESS) return_problem += "pc " + std::to_string(pc) + " is not the return address; ";
    for (const SavedRegister& reg : SAVED_REGISTERS) {
        std::uint32_t value = 0;
        check(uc_reg_read(uc_, reg.id, &value), "read register");
        if (value != reg.value) return_problem += std::string(reg.name) + " changed; ";
    }
}

std::vector<std::uint8_t> LoaderMachine::read(std::uint32_t address, std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    check(uc_mem_read(uc_, address & PHYS_MASK, bytes.data(), length), "read memory");
    return bytes;
}

void LoaderMachine::map_flash(const std::vector<std::uint8_t>& contents) {
    flash_ = contents;
    check(uc_mem_map_ptr(uc_, FLASH_PHYSICAL, flash_.size(), UC_PROT_READ, flash_.data()), "map flash");
}

void LoaderMachine::write_word(std::uint32_t address, std::uint32_t value) {
    check(uc_mem_write(uc_, address & PHYS_MASK, &value, sizeof value), "write word");
}

std::uint32_t LoaderMachine::find_word(std::uint32_t from, std::size_t length, std::uint32_t value) {
    const std::vector<std::uint8_t> bytes = read(from, length);
    for (std::size_t at = 0; at + sizeof value <= length; at += sizeof value) {
        std::uint32_t word = 0;
        std::memcpy(&word, bytes.data() + at, sizeof word);
        if (word == value) return from + static_cast<std::uint32_t>(at);
    }
    return 0;
}

void LoaderMachine::fill(std::uint32_t address, std::size_t length, std::uint8_t value) {
    std::vector<std::uint8_t> bytes(length, value);
    check(uc_mem_write(uc_, address & PHYS_MASK, bytes.data(), length), "fill memory");
}

std::uint64_t LoaderMachine::uart_read(std::uint64_t offset) {
    take_rate_changes();
    const bool dlab = lcr_ & LCR_DLAB;
    if (line_.empty() && peer_ && peer_byte_ < 0) peer_byte_ = peer_->receive();
    const bool from_peer = line_.empty() && peer_byte_ >= 0;
    bool byte_waiting = from_peer || (!line_.empty() && line_.front().kind == LineStep::Byte);
    switch (offset) {
        case UART_LSR_OFFSET: {
            if (!byte_waiting) {
                silent_polls++;
                if (!line_.empty() && line_.front().kind == LineStep::Quiet && --line_.front().count <= 0)
                    line_.pop_front();
            }
            const bool empty = transmitter_busy_ == 0;
            if (!empty) transmitter_busy_--;
            return LSR_TX_FREE | (empty ? LSR_TX_EMPTY : 0) | (byte_waiting ? LSR_DATA_READY : 0);
        }
        case UART_DATA_OFFSET:
            if (dlab) return dll_;
            if (from_peer) {
                std::uint8_t byte = heard(static_cast<std::uint8_t>(peer_byte_));
                peer_byte_ = -1;
                return byte;
            }
            if (byte_waiting) {
                std::uint8_t byte = heard(line_.front().byte);
                line_.pop_front();
                return byte;
            }
            return 0;
        case UART_IER_OFFSET:
            return dlab ? dlm_ : ier_;
        case UART_LCR_OFFSET:
            return lcr_;
        default:
            return 0;
    }
}

void LoaderMachine::uart_write(std::uint64_t offset, std::uint64_t value) {
    take_rate_changes();
    const bool dlab = lcr_ & LCR_DLAB;
    const std::uint8_t byte = static_cast<std::uint8_t>(value);
    if ((offset == UART_DATA_OFFSET || offset == UART_IER_OFFSET) && dlab) {
        if (transmitter_busy_ > 0) divisor_changed_while_sending = true;
        (offset == UART_DATA_OFFSET ? dll_ : dlm_) = byte;
        return;
    }
    if (offset == UART_IER_OFFSET) {
        ier_ = byte;
        return;
    }
    if (offset == UART_LCR_OFFSET) {
        if ((byte & ~LCR_DLAB) != lcr_start_) lcr_other_bits_kept = false;
        lcr_ = byte;
        if (!(lcr_ & LCR_DLAB) && divisor() != divisors.back()) divisors.push_back(divisor());
        return;
    }
    if (offset != UART_DATA_OFFSET) return;
    sent.push_back(static_cast<char>(heard(byte)));
    if (line_.empty() && peer_) peer_->deliver(heard(byte));
    gate_trace.push_back('X');
    transmitter_busy_ = TRANSMIT_POLLS;
    if (!line_.empty() && line_.front().kind == LineStep::Pause) line_.pop_front();
}

std::uint64_t LoaderMachine::gate_read() { return gate_; }

void LoaderMachine::gate_write(std::uint64_t value) {
    std::uint16_t written = static_cast<std::uint16_t>(value);
    if ((written & ~1u) != (GATE_START & ~1u)) gate_other_bits_kept = false;
    gate_trace.push_back((written & 1) ? 'H' : 'L');
    gate_ = written;
}

void LoaderMachine::note_store(std::uint64_t address, int size) {
    std::uint32_t physical = static_cast<std::uint32_t>(address) & PHYS_MASK;
    if (!on_device_page(physical)) stores.push_back({physical, size});
}

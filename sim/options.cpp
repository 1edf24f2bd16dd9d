// SPDX-License-Identifier: GPL-2.0-or-later
#include "options.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <type_traits>
#include <variant>

// The help texts below spell these out.
static_assert(DEFAULT_FLASH_SIZE == 0x1000000 && MONITOR_AREA_START == 0xC00000 && FLASH_BLOCK_SIZE == 0x20000);
static_assert(DEFAULT_UART_CLOCK == 14745600 && DEFAULT_CPU_MHZ == 100 && DEFAULT_FLASH_READ_NS == 100);

namespace {

// Where one value of an option goes; its type says how the value is read: a
// path as it is, a number (decimal, 0x hex or 0 octal), a probability from 0
// to 1, or a switch that takes no value and is set.
using SimField = std::variant<std::monostate, std::string*, unsigned*, uint64_t*, long long*, double*, bool*>;
// An option takes at most three values (--make-image FILE SIZE SEED).
using SimFields = std::array<SimField, 3>;

// The largest number an option takes when its field's type is the only bound.
constexpr unsigned long long NO_LIMIT = std::numeric_limits<unsigned long long>::max();
// A count of bytes far beyond any run's, yet clear of the signed field's end.
constexpr unsigned long long BYTE_COUNT_MAX = 1ull << 62;
// A CPU far beyond the handheld's, a flash read slower than any NOR part's,
// an adapter's timer at its longest (255 ms), a line faster than any UART's,
// and ten minutes for a block, longer than any part needs.
constexpr unsigned long long CPU_MHZ_MAX = 100000;
constexpr unsigned long long FLASH_READ_NS_MAX = 100000;
constexpr unsigned long long ADAPTER_LATENCY_MS_MAX = 255;
constexpr unsigned long long BAUD_MAX = 10000000;
constexpr unsigned long long BLOCK_MS_MAX = 600000;

// A new flash file is a whole number of these.
constexpr uint32_t FLASH_SIZE_UNIT = 0x1000;

struct SimOption {
    const char* name;
    const char* argument;              // what the usage shows after the name; "" for a switch
    SimFields (*fields)(SimOptions&);  // where its values go, in the order given
    unsigned long long limit;          // the largest number it takes, never more than the field holds
    const char* help;                  // the usage's lines, '\n' between them; nullptr: a form of the usage's head
    unsigned long long least = 0;      // the smallest number it takes
    bool (*check)(const SimOptions&, std::string& error) = nullptr;  // a judgement on the value as a whole
    SimOptions::Mode mode = SimOptions::Mode::simulate;              // what the simulator does when given it
    const char* heading = nullptr;                                   // a line the usage puts before it
};

bool check_flash_size(const SimOptions& options, std::string& error) {
    if (options.flash_size != 0 && options.flash_size % FLASH_SIZE_UNIT == 0) return true;
    error = "--flash-size must be a positive multiple of 0x1000";
    return false;
}

bool check_uart_clock(const SimOptions& options, std::string& error) {
    if (divisor_for(options.uart_clock, MONITOR_RATE) != 0) return true;
    error = "--uart-clock " + std::to_string(options.uart_clock) + " cannot make 115200 bit/s within 2 %";
    return false;
}

const SimOption SIM_OPTIONS[] = {
    {"--flash", "FILE", [](SimOptions& options) -> SimFields { return {&options.flash_path}; }, NO_LIMIT,
     "flash contents (default qz4sim-flash.bin; created 0xFF-filled\n"
     "with the monitor's image at 0xC00000 when missing); NOR flash,\n"
     "which programs read at 0xBF000000 (its first 16 MiB)"},
    {"--flash-size", "BYTES", [](SimOptions& options) -> SimFields { return {&options.flash_size}; }, NO_LIMIT,
     "size of a new flash file (default 0x1000000)", 0, check_flash_size},
    {"--link", "PATH", [](SimOptions& options) -> SimFields { return {&options.link_path}; }, NO_LIMIT,
     "symlink PATH to the pseudo-terminal's slave"},
    {"--report", "FILE", [](SimOptions& options) -> SimFields { return {&options.report_path}; }, NO_LIMIT,
     "write the report to FILE (at exit and on SIGUSR1)"},
    {"--baud", "RATE", [](SimOptions& options) -> SimFields { return {&options.baud}; }, BAUD_MAX,
     "pace the line at RATE bit/s, 10 bits a byte (default: unpaced);\n"
     "a program's change of the UART divisor scales the pace"},
    {"--uart-clock", "HZ", [](SimOptions& options) -> SimFields { return {&options.uart_clock}; }, NO_LIMIT,
     "the UART's clock: rate = HZ / (16 * divisor) (default 14745600);\n"
     "it must make the monitor's 115200 bit/s within 2 %",
     0, check_uart_clock},
    {"--cpu-mhz", "N", [](SimOptions& options) -> SimFields { return {&options.cpu_mhz}; }, CPU_MHZ_MAX,
     "a program's instructions run at N MHz, one a cycle (default 100);\n"
     "on a paced line its UART holds 16 received bytes, and what\n"
     "arrives while they are not read is lost to overrun",
     1},
    {"--flash-read-ns", "N", [](SimOptions& options) -> SimFields { return {&options.flash_read_ns}; },
     FLASH_READ_NS_MAX,
     "each 16-bit read of the flash by a program stalls it N ns, as\n"
     "an uncached NOR read does (default 100; a byte costs one read)"},
    {"--adapter-latency", "MS", [](SimOptions& options) -> SimFields { return {&options.adapter_latency_ms}; },
     ADAPTER_LATENCY_MS_MAX,
     "bytes to the host leave in bursts, as from a USB adapter: MS\n"
     "milliseconds after the first byte held, or once 62 wait\n"
     "(default 0: each byte at once)"},
    {"--block-ms", "MS", [](SimOptions& options) -> SimFields { return {&options.block_ms}; }, BLOCK_MS_MAX,
     "time to program one 0x20000-byte flash block (default 0)"},
    {"--exit-after-boot", "", [](SimOptions& options) -> SimFields { return {&options.exit_after_boot}; }, NO_LIMIT,
     "end once the handheld has booted its system"},
    {"--seed", "N", [](SimOptions& options) -> SimFields { return {&options.faults.seed}; }, NO_LIMIT,
     "seed of the fault generator (default 1)", 0, nullptr, SimOptions::Mode::simulate,
     "faults (seeded; applied while a program started with \"g -e\" runs):"},
    {"--rx-drop", "P", [](SimOptions& options) -> SimFields { return {&options.faults.rx_drop}; }, NO_LIMIT,
     "lose a received byte with probability P"},
    {"--rx-corrupt", "P", [](SimOptions& options) -> SimFields { return {&options.faults.rx_corrupt}; }, NO_LIMIT,
     "corrupt received bytes: a burst starts with probability P"},
    {"--burst", "N", [](SimOptions& options) -> SimFields { return {&options.faults.burst}; }, FAULT_BURST_MAX,
     "received bytes changed by one corruption (default 1)", 1},
    {"--rx-noise", "P", [](SimOptions& options) -> SimFields { return {&options.faults.rx_noise}; }, NO_LIMIT,
     "insert a random received byte with probability P"},
    {"--tx-corrupt", "P", [](SimOptions& options) -> SimFields { return {&options.faults.tx_corrupt}; }, NO_LIMIT,
     "change a sent byte with probability P"},
    {"--tx-noise", "P", [](SimOptions& options) -> SimFields { return {&options.faults.tx_noise}; }, NO_LIMIT,
     "send a random extra byte with probability P"},
    {"--rx-swap", "P", [](SimOptions& options) -> SimFields { return {&options.faults.rx_swap}; }, NO_LIMIT,
     "swap two data bytes of a packet a program takes, with\n"
     "probability P per packet (the byte sum stays the same)"},
    {"--faults-everywhere", "", [](SimOptions& options) -> SimFields { return {&options.faults.everywhere}; }, NO_LIMIT,
     "apply the probabilities above to the whole dialogue"},
    {"--silent-after", "N", [](SimOptions& options) -> SimFields { return {&options.faults.silent_after}; },
     BYTE_COUNT_MAX, "hang (no input, no output) after N received bytes"},
    {"--hangup-after", "N", [](SimOptions& options) -> SimFields { return {&options.faults.hangup_after}; },
     BYTE_COUNT_MAX, "hang up the line after N received bytes"},
    {"--error-every", "N", [](SimOptions& options) -> SimFields { return {&options.faults.error_every}; }, NO_LIMIT,
     "print an \"Error\" line before every N-th programmed block"},
    {"--nak-record", "N", [](SimOptions& options) -> SimFields { return {&options.faults.nak_record}; }, NO_LIMIT,
     "refuse the N-th S-record of every \"load\" with NAK"},
    {"--stuck-bits", "N", [](SimOptions& options) -> SimFields { return {&options.faults.stuck_bits}; }, NO_LIMIT,
     "N bits of the flash stay 0, chosen by the seed among the 1-bits\n"
     "of the data the run programs; the monitor reports every block"},
    {"--skip-block", "K", [](SimOptions& options) -> SimFields { return {&options.faults.skip_block}; }, NO_LIMIT,
     "report the K-th block the run programs, but leave it as it was"},
    {"--nuls-at-prompt", "", [](SimOptions& options) -> SimFields { return {&options.faults.nuls_at_prompt}; },
     NO_LIMIT,
     "after a flash command, send NULs before the prompt and one\n"
     "every 40 ms after it until the host sends"},
    // The forms that only inspect or write a file, and the help.
    {"--compare", "OFFSET IMAGE",
     [](SimOptions& options) -> SimFields {
         return {&options.inspect_offset, &options.compare_image};
     },
     NO_LIMIT, nullptr, 0, nullptr, SimOptions::Mode::compare},
    {"--check-erased", "OFFSET SIZE",
     [](SimOptions& options) -> SimFields {
         return {&options.inspect_offset, &options.inspect_size};
     },
     NO_LIMIT, nullptr, 0, nullptr, SimOptions::Mode::check_erased},
    {"--make-image", "FILE SIZE SEED",
     [](SimOptions& options) -> SimFields {
         return {&options.compare_image, &options.inspect_size, &options.image_seed};
     },
     NO_LIMIT, nullptr, 0, nullptr, SimOptions::Mode::make_image},
    {"-h", "", [](SimOptions&) -> SimFields { return {}; }, NO_LIMIT, nullptr, 0, nullptr, SimOptions::Mode::help},
    {"--help", "", [](SimOptions&) -> SimFields { return {}; }, NO_LIMIT, nullptr, 0, nullptr, SimOptions::Mode::help},
};

// The usage's first column: two spaces, the option and its argument, padded to this width.
constexpr size_t USAGE_OPTION_WIDTH = 24;

const char* const USAGE_HEAD =
    "usage: qz4sim [options]            play the handheld on a new pseudo-terminal\n"
    "       qz4sim --flash FILE --compare OFFSET IMAGE\n"
    "       qz4sim --flash FILE --check-erased OFFSET SIZE\n"
    "       qz4sim --make-image FILE SIZE SEED   write a deterministic sample image\n"
    "\n";
const char* const USAGE_TAIL =
    "The slave's path and kelvane's -s value go to standard output as\n"
    "QZ4SIM_TTY=/dev/pts/N and QZ4SIM_PORT=pts/N; everything else to standard error.\n";

bool parse_number(const std::string& text, unsigned long long& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtoull(text.c_str(), &end, 0);
    return errno == 0 && *end == '\0' && text[0] != '-';
}

bool parse_probability(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return *end == '\0' && value >= 0 && value <= 1;
}

// Reads `text` into `field`, a value of option `option` typed as `name`.
bool store_value(const SimOption& option, const std::string& name, const std::string& text, SimField field,
                 std::string& error) {
    if (auto* path = std::get_if<std::string*>(&field)) {
        **path = text;
        return true;
    }
    if (auto* probability = std::get_if<double*>(&field)) {
        if (parse_probability(text, **probability)) return true;
        error = "bad probability for " + name + ": '" + text + "'";
        return false;
    }
    return std::visit(
        [&](auto number) {
            using Number = std::remove_pointer_t<decltype(number)>;
            if constexpr (std::is_pointer_v<decltype(number)> && std::is_integral_v<Number> &&
                          !std::is_same_v<Number, bool>) {
                const unsigned long long most =
                    std::min<unsigned long long>(option.limit, std::numeric_limits<Number>::max());
                unsigned long long value = 0;
                if (!parse_number(text, value) || value > most) {
                    error = "bad number for " + name + ": '" + text + "'";
                    return false;
                }
                *number = static_cast<Number>(value);
                if (value >= option.least) return true;
                error = name + " must be at least " + std::to_string(option.least);
                return false;
            }
            return false;  // paths and probabilities are read above; switches take no value
        },
        field);
}

const SimOption* find_option(const std::string& name) {
    for (const SimOption& option : SIM_OPTIONS)
        if (name == option.name) return &option;
    return nullptr;
}

}  // namespace

std::string sim_usage() {
    std::string usage = USAGE_HEAD;
    for (const SimOption& option : SIM_OPTIONS) {
        if (option.help == nullptr) continue;
        if (option.heading != nullptr) usage += std::string(option.heading) + "\n";
        std::string first = std::string("  ") + option.name;
        if (*option.argument != '\0') first += std::string(" ") + option.argument;
        first.resize(std::max(USAGE_OPTION_WIDTH, first.size() + 2), ' ');
        usage += first;
        for (const char* line = option.help; *line != '\0';) {
            const char* end = line;
            while (*end != '\0' && *end != '\n') ++end;
            if (line != option.help) usage += std::string(USAGE_OPTION_WIDTH, ' ');
            usage.append(line, end);
            usage += '\n';
            line = *end == '\n' ? end + 1 : end;
        }
    }
    return usage + USAGE_TAIL;
}

bool parse_sim_options(const std::vector<std::string>& args, SimOptions& options, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        const SimOption* option = find_option(name);
        if (option == nullptr) {
            error = "unknown option '" + name + "'";
            return false;
        }
        if (option->mode != SimOptions::Mode::simulate) options.mode = option->mode;
        for (SimField field : option->fields(options)) {
            if (std::holds_alternative<std::monostate>(field)) break;
            if (auto* flag = std::get_if<bool*>(&field)) {
                **flag = true;
                continue;
            }
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            if (!store_value(*option, name, args[++i], field, error)) return false;
        }
        if (option->check != nullptr && !option->check(options, error)) return false;
    }
    return true;
}

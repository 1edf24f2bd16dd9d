// SPDX-License-Identifier: GPL-2.0-or-later
#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <type_traits>

// The usage text below spells these out.
static_assert(DEFAULT_FLASH_SIZE == 0x1000000 && MONITOR_AREA_START == 0xC00000 && FLASH_BLOCK_SIZE == 0x20000);
static_assert(DEFAULT_UART_CLOCK == 14745600 && DEFAULT_CPU_MHZ == 100 && DEFAULT_FLASH_READ_NS == 100);

const char* const SIM_USAGE =
    "usage: qz4sim [options]            play the handheld on a new pseudo-terminal\n"
    "       qz4sim --flash FILE --compare OFFSET IMAGE\n"
    "       qz4sim --flash FILE --check-erased OFFSET SIZE\n"
    "       qz4sim --make-image FILE SIZE SEED   write a deterministic sample image\n"
    "\n"
    "  --flash FILE          flash contents (default qz4sim-flash.bin; created 0xFF-filled\n"
    "                        with the monitor's image at 0xC00000 when missing); NOR flash,\n"
    "                        which programs read at 0xBF000000 (its first 16 MiB)\n"
    "  --flash-size BYTES    size of a new flash file (default 0x1000000)\n"
    "  --link PATH           symlink PATH to the pseudo-terminal's slave\n"
    "  --report FILE         write the report to FILE (at exit and on SIGUSR1)\n"
    "  --baud RATE           pace the line at RATE bit/s, 10 bits a byte (default: unpaced);\n"
    "                        a program's change of the UART divisor scales the pace\n"
    "  --uart-clock HZ       the UART's clock: rate = HZ / (16 * divisor) (default 14745600);\n"
    "                        it must make the monitor's 115200 bit/s within 2 %\n"
    "  --cpu-mhz N           a program's instructions run at N MHz, one a cycle (default 100);\n"
    "                        on a paced line its UART holds 16 received bytes, and what\n"
    "                        arrives while they are not read is lost to overrun\n"
    "  --flash-read-ns N     each 16-bit read of the flash by a program stalls it N ns, as\n"
    "                        an uncached NOR read does (default 100; a byte costs one read)\n"
    "  --adapter-latency MS  bytes to the host leave in bursts, as from a USB adapter: MS\n"
    "                        milliseconds after the first byte held, or once 62 wait\n"
    "                        (default 0: each byte at once)\n"
    "  --block-ms MS         time to program one 0x20000-byte flash block (default 0)\n"
    "  --exit-after-boot     end once the handheld has booted its system\n"
    "faults (seeded; applied while a program started with \"g -e\" runs):\n"
    "  --seed N              seed of the fault generator (default 1)\n"
    "  --rx-drop P           lose a received byte with probability P\n"
    "  --rx-corrupt P        corrupt received bytes: a burst starts with probability P\n"
    "  --burst N             received bytes changed by one corruption (default 1)\n"
    "  --rx-noise P          insert a random received byte with probability P\n"
    "  --tx-corrupt P        change a sent byte with probability P\n"
    "  --tx-noise P          send a random extra byte with probability P\n"
    "  --rx-swap P           swap two data bytes of a packet a program takes, with\n"
    "                        probability P per packet (the byte sum stays the same)\n"
    "  --faults-everywhere   apply the probabilities above to the whole dialogue\n"
    "  --silent-after N      hang (no input, no output) after N received bytes\n"
    "  --hangup-after N      hang up the line after N received bytes\n"
    "  --error-every N       print an \"Error\" line before every N-th programmed block\n"
    "  --nak-record N        refuse the N-th S-record of every \"load\" with NAK\n"
    "  --stuck-bits N        N bits of the flash stay 0, chosen by the seed among the 1-bits\n"
    "                        of the data the run programs; the monitor reports every block\n"
    "  --skip-block K        report the K-th block the run programs, but leave it as it was\n"
    "The slave's path and kelvane's -s value go to standard output as\n"
    "QZ4SIM_TTY=/dev/pts/N and QZ4SIM_PORT=pts/N; everything else to standard error.\n";

namespace {

// A CPU far beyond the handheld's, a flash read slower than any NOR part's,
// and an adapter's timer at its longest (255 ms).
constexpr unsigned long long CPU_MHZ_MAX = 100000;
constexpr unsigned long long FLASH_READ_NS_MAX = 100000;
constexpr unsigned long long ADAPTER_LATENCY_MS_MAX = 255;

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

}  // namespace

bool parse_sim_options(const std::vector<std::string>& args, SimOptions& o, std::string& error) {
    FaultPlan& f = o.faults;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto next = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        auto number = [&](auto& out, unsigned long long max) {
            std::string text;
            unsigned long long v = 0;
            if (!next(text)) return false;
            if (!parse_number(text, v) || v > max) {
                error = "bad number for " + a + ": '" + text + "'";
                return false;
            }
            out = static_cast<std::remove_reference_t<decltype(out)>>(v);
            return true;
        };
        auto probability = [&](double& out) {
            std::string text;
            if (!next(text)) return false;
            if (!parse_probability(text, out)) {
                error = "bad probability for " + a + ": '" + text + "'";
                return false;
            }
            return true;
        };
        constexpr unsigned long long U32 = 0xFFFFFFFFull;
        constexpr unsigned long long BIG = 1ull << 62;

        bool ok = true;
        if (a == "--flash")
            ok = next(o.flash_path);
        else if (a == "--flash-size") {
            ok = number(o.flash_size, U32);
            if (ok && (o.flash_size == 0 || o.flash_size % 0x1000 != 0)) {
                error = "--flash-size must be a positive multiple of 0x1000";
                ok = false;
            }
        } else if (a == "--link")
            ok = next(o.link_path);
        else if (a == "--report")
            ok = next(o.report_path);
        else if (a == "--baud")
            ok = number(o.baud, 10000000);
        else if (a == "--uart-clock") {
            ok = number(o.uart_clock, U32);
            if (ok && divisor_for(o.uart_clock, MONITOR_RATE) == 0) {
                error = "--uart-clock " + std::to_string(o.uart_clock) + " cannot make 115200 bit/s within 2 %";
                ok = false;
            }
        } else if (a == "--cpu-mhz") {
            ok = number(o.cpu_mhz, CPU_MHZ_MAX);
            if (ok && o.cpu_mhz == 0) {
                error = "--cpu-mhz must be at least 1";
                ok = false;
            }
        } else if (a == "--flash-read-ns")
            ok = number(o.flash_read_ns, FLASH_READ_NS_MAX);
        else if (a == "--adapter-latency")
            ok = number(o.adapter_latency_ms, ADAPTER_LATENCY_MS_MAX);
        else if (a == "--block-ms")
            ok = number(o.block_ms, 600000);
        else if (a == "--exit-after-boot")
            o.exit_after_boot = true;
        else if (a == "--seed")
            ok = number(f.seed, ~0ull);
        else if (a == "--rx-drop")
            ok = probability(f.rx_drop);
        else if (a == "--rx-corrupt")
            ok = probability(f.rx_corrupt);
        else if (a == "--rx-noise")
            ok = probability(f.rx_noise);
        else if (a == "--tx-corrupt")
            ok = probability(f.tx_corrupt);
        else if (a == "--tx-noise")
            ok = probability(f.tx_noise);
        else if (a == "--rx-swap")
            ok = probability(f.rx_swap);
        else if (a == "--burst") {
            ok = number(f.burst, FAULT_BURST_MAX);
            if (ok && f.burst == 0) {
                error = "--burst must be at least 1";
                ok = false;
            }
        } else if (a == "--faults-everywhere")
            f.everywhere = true;
        else if (a == "--silent-after")
            ok = number(f.silent_after, BIG);
        else if (a == "--hangup-after")
            ok = number(f.hangup_after, BIG);
        else if (a == "--error-every")
            ok = number(f.error_every, U32);
        else if (a == "--nak-record")
            ok = number(f.nak_record, U32);
        else if (a == "--stuck-bits")
            ok = number(f.stuck_bits, U32);
        else if (a == "--skip-block")
            ok = number(f.skip_block, U32);
        else if (a == "--compare") {
            o.mode = SimOptions::Mode::compare;
            ok = number(o.inspect_offset, U32) && next(o.compare_image);
        } else if (a == "--check-erased") {
            o.mode = SimOptions::Mode::check_erased;
            ok = number(o.inspect_offset, U32) && number(o.inspect_size, U32);
        } else if (a == "--make-image") {
            o.mode = SimOptions::Mode::make_image;
            ok = next(o.compare_image) && number(o.inspect_size, U32) && number(o.image_seed, ~0ull);
        } else if (a == "-h" || a == "--help")
            o.mode = SimOptions::Mode::help;
        else {
            error = "unknown option '" + a + "'";
            ok = false;
        }
        if (!ok) return false;
    }
    return true;
}

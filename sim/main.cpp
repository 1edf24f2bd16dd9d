// SPDX-License-Identifier: GPL-2.0-or-later
// qz4sim: a simulated QZ4 handheld on a pseudo-terminal, for kelvane to flash.
#include "device.h"
#include "hardware.h"
#include "inspect.h"
#include "line.h"
#include "monitor.h"
#include "pacing.h"
#include "pty_transport.h"
#include "report.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

namespace {

// After the system booted with --exit-after-boot: how long to wait for the
// host to read the last output before the line goes away.
constexpr int64_t FINAL_DRAIN_NS = 5'000'000'000;
constexpr auto FINAL_DRAIN_STEP = std::chrono::milliseconds(20);
// SIGUSR2 is the device thread telling the main thread that the system booted.
constexpr int BOOTED_SIGNAL = SIGUSR2;
constexpr int REPORT_SIGNAL = SIGUSR1;

void write_report_file(const std::string& path, const std::string& report) {
    if (path.empty()) return;
    const std::string temp = path + ".new";
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "qz4sim: cannot write %s: %s\n", temp.c_str(), std::strerror(errno));
        return;
    }
    const bool ok = write(fd, report.data(), report.size()) == static_cast<ssize_t>(report.size());
    close(fd);
    // Readers see the old report or the new one, never half of one.
    if (ok) rename(temp.c_str(), path.c_str());
}

// The modes that need no line: the help, --make-image, --compare, --check-erased.
int run_without_line(const SimOptions& o) {
    if (o.mode == SimOptions::Mode::help) {
        std::fputs(sim_usage().c_str(), stderr);
        return 0;
    }
    if (o.mode == SimOptions::Mode::make_image) return make_sample_image(o.compare_image, o.inspect_size, o.image_seed);
    if (o.mode == SimOptions::Mode::compare) return inspect_compare(o.flash_path, o.inspect_offset, o.compare_image);
    return inspect_check_erased(o.flash_path, o.inspect_offset, o.inspect_size);
}

// Signals are taken by sigwait in the main thread only: blocked here, before
// any thread starts, so every thread inherits the mask. A write that fails
// says so by its return value, never by SIGPIPE.
sigset_t block_signals() {
    sigset_t wanted;
    sigemptyset(&wanted);
    for (int s : {SIGTERM, SIGINT, SIGHUP, REPORT_SIGNAL, BOOTED_SIGNAL}) sigaddset(&wanted, s);
    pthread_sigmask(SIG_BLOCK, &wanted, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return wanted;
}

bool open_flash_and_ram(Device& d, std::string& error) {
    if (!flash_open(d.flash, d.options.flash_path, d.options.flash_size, error)) return false;
    void* ram = mmap(nullptr, RAM_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (ram == MAP_FAILED) {
        const int cause = errno;
        error = std::string("no memory for RAM: ") + std::strerror(cause);
        return false;
    }
    d.ram = static_cast<uint8_t*>(ram);
    return true;
}

// Opens the line as the options ask and links it where --link says.
bool open_line_and_link(Device& d, std::string& error) {
    d.line.plan = d.options.faults;
    d.line.base_baud = d.options.baud;
    d.line.clock_hz = d.options.uart_clock;
    d.line.adapter.latency_ns = int64_t(d.options.adapter_latency_ms) * 1'000'000;
    if (!line_open(d.line, error)) return false;
    if (d.options.link_path.empty()) return true;
    unlink(d.options.link_path.c_str());
    if (symlink(d.line.slave_path.c_str(), d.options.link_path.c_str()) != 0) {
        const int cause = errno;
        error = "cannot link " + d.options.link_path + ": " + std::strerror(cause);
        return false;
    }
    return true;
}

// Tells scripts (standard output) and people (standard error) where the handheld is.
void announce_line(const Device& d) {
    const std::string port = d.line.slave_path.substr(std::strlen("/dev/"));
    std::printf("QZ4SIM_TTY=%s\nQZ4SIM_PORT=%s\n", d.line.slave_path.c_str(), port.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "qz4sim: handheld on %s (kelvane -s %s), flash %s\n", d.line.slave_path.c_str(), port.c_str(),
                 d.flash.path.c_str());
}

// The reader, the adapter (with a latency) and the device, which signals the
// main thread once the system has booted.
void start_threads(Device& d) {
    std::thread(line_reader, std::ref(d.line)).detach();
    if (d.line.adapter.latency_ns > 0) std::thread(pty_adapter, std::ref(d.line)).detach();
    const pthread_t main_thread = pthread_self();
    std::thread([&d, main_thread] {
        monitor_run(d, [main_thread] { pthread_kill(main_thread, BOOTED_SIGNAL); });
    }).detach();
}

// After the system booted: the host gets a while to read the last output.
void drain_to_host(Device& d) {
    const int64_t give_up = monotonic_ns() + FINAL_DRAIN_NS;
    while (pty_unread_by_host(d.line) > 0 && monotonic_ns() < give_up) std::this_thread::sleep_for(FINAL_DRAIN_STEP);
}

[[noreturn]] void finish(Device& d) {
    line_stop(d.line);
    std::string report;
    {
        // Holding the flash lock: no block is half programmed in the file or the report.
        std::lock_guard g(d.mu);
        flash_close(d.flash);
    }
    report = device_report(d);
    write_report_file(d.options.report_path, report);
    std::fputs(report.c_str(), stderr);
    if (!d.options.link_path.empty()) unlink(d.options.link_path.c_str());
    std::fflush(stderr);
    // The device thread may be inside an emulated program; it ends with the process.
    _exit(0);
}

// The report on request; the end on any other signal, once the host has read
// the last output when the system booted.
[[noreturn]] void wait_for_signals(Device& d, const sigset_t& wanted) {
    for (;;) {
        int sig = 0;
        if (sigwait(&wanted, &sig) != 0) continue;
        if (sig == REPORT_SIGNAL) {
            const std::string report = device_report(d);
            write_report_file(d.options.report_path, report);
            if (d.options.report_path.empty()) std::fputs(report.c_str(), stderr);
            continue;
        }
        if (sig == BOOTED_SIGNAL) drain_to_host(d);
        finish(d);
    }
}

}  // namespace

int main(int argc, char** argv) {
    static Device d;
    std::string error;
    if (!parse_sim_options({argv + 1, argv + argc}, d.options, error)) {
        std::fprintf(stderr, "qz4sim: %s\n%s", error.c_str(), sim_usage().c_str());
        return 2;
    }
    if (d.options.mode != SimOptions::Mode::simulate) return run_without_line(d.options);

    const sigset_t signals = block_signals();
    if (!open_flash_and_ram(d, error) || !open_line_and_link(d, error)) {
        std::fprintf(stderr, "qz4sim: %s\n", error.c_str());
        return 1;
    }
    announce_line(d);
    start_threads(d);
    wait_for_signals(d, signals);
}

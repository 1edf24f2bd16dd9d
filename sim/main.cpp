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
int run_without_line(const SimOptions& options) {
    if (options.mode == SimOptions::Mode::help) {
        std::fputs(sim_usage().c_str(), stderr);
        return 0;
    }
    if (options.mode == SimOptions::Mode::make_image)
        return make_sample_image(options.compare_image, options.inspect_size, options.image_seed);
    if (options.mode == SimOptions::Mode::compare)
        return inspect_compare(options.flash_path, options.inspect_offset, options.compare_image);
    return inspect_check_erased(options.flash_path, options.inspect_offset, options.inspect_size);
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

bool open_flash_and_ram(Device& device, std::string& error) {
    if (!flash_open(device.flash, device.options.flash_path, device.options.flash_size, error)) return false;
    void* ram = mmap(nullptr, RAM_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (ram == MAP_FAILED) {
        const int cause = errno;
        error = std::string("no memory for RAM: ") + std::strerror(cause);
        return false;
    }
    device.ram = static_cast<uint8_t*>(ram);
    return true;
}

// Opens the line as the options ask and links it where --link says.
bool open_line_and_link(Device& device, std::string& error) {
    device.line.plan = device.options.faults;
    device.line.base_baud = device.options.baud;
    device.line.clock_hz = device.options.uart_clock;
    device.line.adapter.latency_ns = int64_t(device.options.adapter_latency_ms) * 1'000'000;
    if (!line_open(device.line, error)) return false;
    if (device.options.link_path.empty()) return true;
    unlink(device.options.link_path.c_str());
    if (symlink(device.line.slave_path.c_str(), device.options.link_path.c_str()) != 0) {
        const int cause = errno;
        error = "cannot link " + device.options.link_path + ": " + std::strerror(cause);
        return false;
    }
    return true;
}

// Tells scripts (standard output) and people (standard error) where the handheld is.
void announce_line(const Device& device) {
    const std::string port = device.line.slave_path.substr(std::strlen("/dev/"));
    std::printf("QZ4SIM_TTY=%s\nQZ4SIM_PORT=%s\n", device.line.slave_path.c_str(), port.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "qz4sim: handheld on %s (kelvane -s %s), flash %s\n", device.line.slave_path.c_str(),
                 port.c_str(), device.flash.path.c_str());
}

// The reader, the adapter (with a latency) and the device, which signals the
// main thread once the system has booted.
void start_threads(Device& device) {
    std::thread(line_reader, std::ref(device.line)).detach();
    if (device.line.adapter.latency_ns > 0) std::thread(pty_adapter, std::ref(device.line)).detach();
    const pthread_t main_thread = pthread_self();
    std::thread([&device, main_thread] {
        monitor_run(device, [main_thread] { pthread_kill(main_thread, BOOTED_SIGNAL); });
    }).detach();
}

// After the system booted: the host gets a while to read the last output.
void drain_to_host(Device& device) {
    const int64_t give_up = monotonic_ns() + FINAL_DRAIN_NS;
    while (pty_unread_by_host(device.line) > 0 && monotonic_ns() < give_up)
        std::this_thread::sleep_for(FINAL_DRAIN_STEP);
}

[[noreturn]] void finish(Device& device) {
    line_stop(device.line);
    std::string report;
    {
        // Holding the flash lock: no block is half programmed in the file or the report.
        std::lock_guard g(device.mu);
        flash_close(device.flash);
    }
    report = device_report(device);
    write_report_file(device.options.report_path, report);
    std::fputs(report.c_str(), stderr);
    if (!device.options.link_path.empty()) unlink(device.options.link_path.c_str());
    std::fflush(stderr);
    // The device thread may be inside an emulated program; it ends with the process.
    _exit(0);
}

// The report on request; the end on any other signal, once the host has read
// the last output when the system booted.
[[noreturn]] void wait_for_signals(Device& device, const sigset_t& wanted) {
    for (;;) {
        int sig = 0;
        if (sigwait(&wanted, &sig) != 0) continue;
        if (sig == REPORT_SIGNAL) {
            const std::string report = device_report(device);
            write_report_file(device.options.report_path, report);
            if (device.options.report_path.empty()) std::fputs(report.c_str(), stderr);
            continue;
        }
        if (sig == BOOTED_SIGNAL) drain_to_host(device);
        finish(device);
    }
}

}  // namespace

int main(int argc, char** argv) {
    static Device device;
    std::string error;
    if (!parse_sim_options({argv + 1, argv + argc}, device.options, error)) {
        std::fprintf(stderr, "qz4sim: %s\n%s", error.c_str(), sim_usage().c_str());
        return 2;
    }
    if (device.options.mode != SimOptions::Mode::simulate) return run_without_line(device.options);

    const sigset_t signals = block_signals();
    if (!open_flash_and_ram(device, error) || !open_line_and_link(device, error)) {
        std::fprintf(stderr, "qz4sim: %s\n", error.c_str());
        return 1;
    }
    announce_line(device);
    start_threads(device);
    wait_for_signals(device, signals);
}

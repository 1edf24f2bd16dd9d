// SPDX-License-Identifier: GPL-2.0-or-later
#include "e2e/e2e_run.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace {

constexpr char ERASED = '\xff';

}  // namespace

const char* outcome_name(Outcome o) {
    switch (o) {
        case Outcome::flashed:
            return "flashed byte for byte";
        case Outcome::refused_untouched:
            return "failed, region untouched";
        case Outcome::failed_after_writing:
            return "failed after the region was written";
        case Outcome::wrong:
            return "WRONG: status 0 without the image in the flash";
    }
    return "?";
}

long long report_number(const std::string& report, const std::string& key, const std::string& label) {
    const size_t line = report.find(key + ": ");
    if (line == std::string::npos) return -1;
    const size_t end = report.find('\n', line);
    const std::string text = report.substr(line, end - line);
    const size_t at = text.find(" " + label);
    if (at == std::string::npos) return -1;
    size_t start = at;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(text[start - 1]))) --start;
    if (start == at) {
        // "label N" form
        const size_t number = at + 1 + label.size() + 1;
        return number < text.size() ? std::atoll(text.c_str() + number) : -1;
    }
    return std::atoll(text.substr(start, at - start).c_str());
}

Outcome judge_run(int exit_status, const std::string& flash, uint32_t offset, const std::string& image) {
    const std::string region = flash.substr(offset, image.size());
    if (exit_status == 0) return region == image ? Outcome::flashed : Outcome::wrong;
    return region == std::string(image.size(), ERASED) ? Outcome::refused_untouched : Outcome::failed_after_writing;
}

void EndToEnd::start_sim(const std::vector<std::string>& extra) {
    std::vector<std::string> args{"--flash", dir.file("flash.bin"), "--report", dir.file("report.txt")};
    args.insert(args.end(), extra.begin(), extra.end());
    sim = std::make_unique<SimProcess>(args, dir.file("sim.log"));
}

void EndToEnd::start_sim_on_fresh_flash(const std::vector<std::string>& extra) {
    std::filesystem::remove(dir.file("flash.bin"));
    start_sim(extra);
}

testkit::RunResult EndToEnd::kelvane(const std::vector<std::string>& args) {
    std::vector<std::string> all{"-t", dir.path(), "-s", sim->port()};
    all.insert(all.end(), args.begin(), args.end());
    return run_kelvane(all, dir.path());
}

std::string EndToEnd::stop_sim() {
    // A receiver that a failed run stopped may still be on its way back to the
    // monitor (it hears the line out first): the report is taken once it is
    // back, or after a bound for one that was left running.
    constexpr int PROGRAM_BACK_MS = 10000;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(PROGRAM_BACK_MS);
    const auto program_running = [](const std::string& report) {
        // A report caught while the simulator rewrites it says nothing yet.
        const long long started = report_number(report, "programs", "started");
        return started < 0 ||
               report_number(report, "programs", "returned") + report_number(report, "programs", "faulted") < started;
    };
    // The report of an earlier case in this directory must not answer for this one.
    std::filesystem::remove(dir.file("report.txt"));
    while (program_running(report_reaching("programs", "started", 0, PROGRAM_BACK_MS)) &&
           std::chrono::steady_clock::now() < give_up) {}
    EXPECT_EQ(sim->stop(), 0) << testkit::read_file(dir.file("sim.log"));
    return testkit::read_file(dir.file("report.txt"));
}

std::string EndToEnd::report_reaching(const std::string& key, const std::string& label, long long at_least,
                                      int timeout_ms) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string report;
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sim->signal(SIGUSR1);
        report = testkit::read_file(dir.file("report.txt"));
    } while (report_number(report, key, label) < at_least && std::chrono::steady_clock::now() < give_up);
    return report;
}

std::string EndToEnd::make_image(const std::string& name, long long size, unsigned seed) {
    testkit::write_pattern_file(dir.file(name), size, seed);
    return testkit::read_file(dir.file(name));
}

EndToEnd::KernelAndCramfs EndToEnd::flash_kernel_and_cramfs(const std::vector<std::string>& options, unsigned seed) {
    constexpr uint32_t KERNEL = 0;
    constexpr uint32_t CRAMFS = 0x100000;
    const std::string kernel = make_image("vmlinux", 70000, seed);
    // A whole block: whole packets of both sizes, so the last one is filler.
    const std::string cramfs = make_image("cramfs.img", 0x20000, seed + 1);
    std::vector<std::string> args = options;
    args.insert(args.end(), {dir.file("vmlinux"), "kernel", dir.file("cramfs.img"), "cramfs"});
    KernelAndCramfs result{kelvane(args), ""};
    EXPECT_EQ(result.run.exit_status, 0) << result.run.err;
    result.report = stop_sim();
    const std::string f = flash();
    EXPECT_EQ(f.substr(KERNEL, kernel.size()), kernel);
    EXPECT_EQ(f.substr(CRAMFS, cramfs.size()), cramfs);
    return result;
}

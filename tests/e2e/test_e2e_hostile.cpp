// SPDX-License-Identifier: GPL-2.0-or-later
// kelvane against a user or a line that tries to fool it (a process stopped
// mid-transfer is under slow/): the receiver's give-up damaged on the line, a port path too
// long to hold, a loader upload that loses a byte, standard error closed, a
// hard-linked capture.log, an image rewritten through a shared mapping. The
// images are monitor commands over and over, so that any packet byte read by
// the monitor's command line would program 0x600000: every run ends 1, or 0
// with the image in the flash, never with 0x600000 programmed and never with
// a packet byte at the monitor.
#include "e2e/e2e_run.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>

namespace {

constexpr uint32_t ROMDISK = 0x200000;
constexpr uint32_t TRAP = 0x600000;  // what the image's commands would program
constexpr int RUN_LIMIT_MS = 300000;

std::string command_image(size_t size) {
    const std::string command = "\rflash 80090000 20000 600000\ry\r";
    std::string image;
    while (image.size() < size) image += command;
    image.resize(size);
    return image;
}

class E2eHostile : public EndToEnd {
protected:
    // The run's verdict, the trap untouched, and no packet byte at the monitor.
    void expect_not_fooled(int exit_status, const std::string& err, uint32_t offset, const std::string& image,
                           const std::string& report) {
        const Outcome outcome = judge_run(exit_status, flash(), offset, image);
        EXPECT_TRUE(outcome == Outcome::flashed || outcome == Outcome::refused_untouched)
            << outcome_name(outcome) << "\n"
            << err << report;
        EXPECT_EQ(flash().substr(TRAP, 0x20000), std::string(0x20000, '\xff')) << err << report;
        EXPECT_EQ(report_number(report, "monitor", "packet bytes"), 0) << report;
    }

    testkit::Child start(const std::vector<std::string>& args) {
        std::vector<std::string> all{"-t", dir.path(), "-s", sim->port()};
        all.insert(all.end(), args.begin(), args.end());
        return start_kelvane(all, dir.path(), dir.file("stderr.txt"));
    }
};

struct HostileCase {
    const char* what;
    std::vector<std::string> sim_args;
    std::vector<std::string> kelvane_args;  // before the image and its target
    size_t image_size;
    uint32_t offset;
    const char* target;
    const char* message;  // that the run must print when it ends 1 (nullptr: any)
    bool must_fail;
};

// Cases 2 and 5 from the seeds that fooled the run, and a second run after
// the failed upload finds the monitor at its prompt.
TEST_F(E2eHostile, SeededFaultsEndTheRunCleanly) {
    const HostileCase cases[] = {
        {"the receiver's CANs damaged after the fast line fell back",
         {"--seed", "402", "--rx-corrupt", "0.02", "--burst", "3", "--tx-corrupt", "0.2"},
         {"-b", "921600"},
         9000,
         0x400000,
         "0x400000",
         nullptr,
         false},
        {"a loader upload that loses an ETX",
         {"--seed", "386", "--faults-everywhere", "--rx-drop", "0.002"},
         {},
         0x8000,
         ROMDISK,
         "romdisk",
         "\nError: ex_send read '0x6' instead of ACK",
         true},
    };
    for (const HostileCase& c : cases) {
        SCOPED_TRACE(c.what);
        start_sim_on_fresh_flash(c.sim_args);
        const std::string image = command_image(c.image_size);
        testkit::write_file(dir.file("image.bin"), image);
        std::vector<std::string> args = c.kelvane_args;
        args.insert(args.end(), {dir.file("image.bin"), c.target});
        testkit::Child run = start(args);
        const std::optional<int> status = run.wait_for(RUN_LIMIT_MS);
        ASSERT_TRUE(status.has_value());
        const std::string err = testkit::read_file(dir.file("stderr.txt"));
        if (c.must_fail) {
            EXPECT_EQ(*status, 1) << err;
        }
        if (c.message != nullptr) {
            EXPECT_NE(err.find(c.message), std::string::npos) << err;
        }
        if (c.must_fail) {
            // The monitor is back at its prompt: the next run gets past the wait for the handheld.
            testkit::Child again = start(args);
            const std::optional<int> next = again.wait_for(RUN_LIMIT_MS);
            const std::string next_err = testkit::read_file(dir.file("stderr.txt"));
            EXPECT_TRUE(next.has_value()) << next_err;
            EXPECT_NE(next_err.find("Waiting for input from port (CTRL-C to exit)...done\n\nLooking for PMON prompt..."),
                      std::string::npos)
                << next_err;
        }
        report_reaching("programs", "returned", report_number(testkit::read_file(dir.file("report.txt")), "programs",
                                                              "started"),
                        5000);
        const std::string report = stop_sim();
        expect_not_fooled(*status, err, c.offset, image, report);
    }
}

// Cases 3, 7 and 8: what the user hands the run, on a good line.
TEST_F(E2eHostile, WhatTheUserHandsTheRunCannotRedirectIt) {
    start_sim();
    const std::string image = command_image(0x4000);
    testkit::write_file(dir.file("rd.img"), image);

    // A path cut to 127 characters would name this link to the handheld.
    const std::string prefix = "/dev/.." + dir.path() + "/";
    ASSERT_LT(prefix.size(), 120u);
    const std::string link_name = prefix + std::string(127 - prefix.size(), 'p');
    ASSERT_EQ(symlink(("/dev/" + sim->port()).c_str(), link_name.substr(7).c_str()), 0);
    const testkit::RunResult long_path = run_kelvane({"-s", link_name + "qqqq", dir.file("rd.img"), "romdisk"}, dir.path());
    EXPECT_EQ(long_path.exit_status, 1) << long_path.err;
    EXPECT_NE(long_path.err.find("\nError:  the serial device path is 131 characters long; at most 127 fit.  Aborting."),
              std::string::npos)
        << long_path.err;

    // A transcript kept under a second name survives -l.
    testkit::write_file(dir.file("kept.log"), "the last transcript\n");
    ASSERT_EQ(link(dir.file("kept.log").c_str(), dir.file("capture.log").c_str()), 0);
    const testkit::RunResult linked = kelvane({"-l", dir.file("rd.img"), "romdisk"});
    EXPECT_EQ(linked.exit_status, 0) << linked.err;
    EXPECT_EQ(linked.err.rfind("Warning:  can't open ./capture.log for writing\n", 0), 0u) << linked.err;
    EXPECT_EQ(testkit::read_file(dir.file("kept.log")), "the last transcript\n");

    // Standard error closed: the port must not become descriptor 2.
    std::vector<std::string> shell_args{"-c", "exec \"$0\" \"$@\" 2>&-", KELVANE_BINARY, "-t", dir.path(),
                                        "-s", sim->port(), dir.file("rd.img"), "cramfs"};
    testkit::Child closed({.program = "/bin/sh", .args = shell_args, .cwd = dir.path()});
    const std::optional<int> closed_status = closed.wait_for(RUN_LIMIT_MS);
    ASSERT_TRUE(closed_status.has_value());
    EXPECT_EQ(*closed_status, 0);

    const std::string report = stop_sim();
    EXPECT_EQ(flash().substr(0x100000, image.size()), image) << report;
    expect_not_fooled(0, "", ROMDISK, image, report);
    EXPECT_EQ(report_number(report, "monitor", "packet bytes"), 0) << report;
    // Only the two good runs programmed, each its own range: the long path reached no port.
    std::istringstream lines(report);
    int programmed = 0;
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("programmed: 0x", 0) == 0) ++programmed;
    EXPECT_EQ(programmed, 2) << report;
}

// Case 4: the image rewritten through a shared mapping while it is sent. Its
// times need not move, so only its bytes, read again after the transfer,
// show that the flash would hold neither the file as checked nor as it is.
TEST_F(E2eHostile, AnImageRewrittenThroughAMappingMidTransferIsNeverFlashed) {
    start_sim({"--baud", "115200"});
    const std::string image = command_image(0x10000);
    testkit::write_file(dir.file("rd.img"), image);
    const int fd = open(dir.file("rd.img").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    void* mapped = mmap(nullptr, image.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    auto* bytes = static_cast<unsigned char*>(mapped);
    // Written once before the run, so that the pages are dirty and writable already.
    std::memcpy(bytes, image.data(), image.size());
    testkit::Child run = start({dir.file("rd.img"), "romdisk"});
    report_reaching("packets", "answered", 40, RUN_LIMIT_MS);
    for (size_t i = 0; i < image.size(); ++i) bytes[i] = static_cast<unsigned char>(bytes[i] ^ 0x20);
    const std::optional<int> status = run.wait_for(RUN_LIMIT_MS);
    munmap(mapped, image.size());
    close(fd);
    ASSERT_TRUE(status.has_value());
    const std::string err = testkit::read_file(dir.file("stderr.txt"));
    const std::string report = stop_sim();
    EXPECT_EQ(*status, 1) << err;
    EXPECT_NE(err.find("\nError:  '" + dir.file("rd.img") + "' changed since it was checked.  Aborting."),
              std::string::npos)
        << err;
    EXPECT_NE(report.find("programmed: nothing"), std::string::npos) << report;
    expect_not_fooled(*status, err, ROMDISK, image, report);
}

}  // namespace

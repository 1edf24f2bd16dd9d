// SPDX-License-Identifier: GPL-2.0-or-later
// -V against the simulated handheld: a flash that does not hold what the
// monitor reported as programmed (stuck bits, a skipped block) ends the run
// with status 0 without -V, as before, and with status 1 and the handheld's
// CRC-32 with it; a flash that holds every image passes.
#include "e2e/e2e_run.h"

#include <zlib.h>

#include <cstdio>
#include <filesystem>

namespace {

constexpr uint32_t KERNEL = 0;
constexpr uint32_t ROMDISK = 0x200000;
constexpr long long KERNEL_IMAGE = 0x50000;  // three blocks
constexpr long long SPLIT_IMAGE = 0x680000;  // above the 0x670000 one transfer carries

using E2eVerify = EndToEnd;

std::string crc_text(const std::string& bytes) {
    char text[16];
    std::snprintf(text, sizeof text, "%08lx",
                  crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
    return text;
}

size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

TEST_F(E2eVerify, AFlashThatDoesNotHoldTheImageEndsTheRunOnlyWithV) {
    struct Case {
        const char* what;
        std::vector<std::string> fault;
        const char* report_line;
        bool verify;
    };
    const Case cases[] = {
        {"stuck bits, not read back", {"--stuck-bits", "3"}, "stuck bits: 3 of 3 placed: 0x0", false},
        {"stuck bits, read back", {"--stuck-bits", "3"}, "stuck bits: 3 of 3 placed: 0x0", true},
        {"a skipped block, not read back",
         {"--skip-block", "2"},
         "skipped block: block 2 of the run, 0x020000..0x03ffff, reported but left as it was",
         false},
        {"a skipped block, read back",
         {"--skip-block", "2"},
         "skipped block: block 2 of the run, 0x020000..0x03ffff, reported but left as it was",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        start_sim_on_fresh_flash(c.fault);
        const std::string image = make_image("vmlinux", KERNEL_IMAGE, 21);
        std::vector<std::string> args{dir.file("vmlinux"), "kernel"};
        if (c.verify) args.insert(args.begin(), "-V");
        const testkit::RunResult run = kelvane(args);
        const std::string report = stop_sim();
        EXPECT_NE(report.find(c.report_line), std::string::npos) << report;
        const std::string flashed = flash().substr(KERNEL, image.size());
        ASSERT_NE(flashed, image) << "the fault left the flash right";
        if (!c.verify) {
            EXPECT_EQ(judge_run(run.exit_status, flash(), KERNEL, image), Outcome::wrong) << run.err;
            continue;
        }
        EXPECT_EQ(run.exit_status, 1) << run.err;
        EXPECT_NE(
            run.err.find("\nVerifying flash...\nError:  the flash at 0x0 does not hold '" + dir.file("vmlinux") +
                         "' (CRC-32 " + crc_text(flashed) + ", expected " + crc_text(image) + ").  Aborting.\n\n"),
            std::string::npos)
            << run.err;
    }
}

// Every job is read back, each piece of a split image over its own length at
// its own offset; with -b the exchange still runs at the monitor's rate.
TEST_F(E2eVerify, AFlashThatHoldsEveryImagePasses) {
    struct Case {
        const char* what;
        std::vector<std::string> switches;
        bool romdisk;
        size_t jobs;
    };
    const Case cases[] = {
        {"a kernel and a split romdisk", {"-V"}, true, 3},
        {"a kernel on the fast line", {"-V", "-b", "921600"}, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        start_sim_on_fresh_flash();
        const std::string kernel = make_image("vmlinux", 200003, 22);
        const std::string rootfs = c.romdisk ? make_image("rootfs.img", SPLIT_IMAGE, 23) : "";
        std::vector<std::string> args = c.switches;
        args.insert(args.end(), {dir.file("vmlinux"), "kernel"});
        if (c.romdisk) args.insert(args.end(), {dir.file("rootfs.img"), "romdisk"});
        const testkit::RunResult run = kelvane(args);
        EXPECT_EQ(run.exit_status, 0) << run.err;
        const std::string report = stop_sim();
        EXPECT_EQ(count_of(run.err, "Verifying flash...done\n"), c.jobs) << run.err;
        EXPECT_EQ(run.err.find("Notice:"), std::string::npos) << run.err;
        EXPECT_EQ(report_number(report, "programs", "returned"), static_cast<long long>(2 * c.jobs)) << report;
        EXPECT_EQ(flash().substr(KERNEL, kernel.size()), kernel);
        if (c.romdisk) {
            EXPECT_TRUE(flash().substr(ROMDISK, rootfs.size()) == rootfs);
        }
    }
}

}  // namespace

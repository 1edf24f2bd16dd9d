// SPDX-License-Identifier: GPL-2.0-or-later
// kelvane flashing the simulated handheld, with the real loader uploaded by "load".
#include "e2e/e2e_run.h"

#include <filesystem>

namespace {

constexpr uint32_t KERNEL = 0;
constexpr uint32_t CRAMFS = 0x100000;
constexpr uint32_t ROMDISK = 0x200000;
constexpr uint32_t MONITOR_AREA = 0xC00000;
constexpr uint32_t MONITOR_AREA_SIZE = 0x80000;
constexpr long long SPLIT_IMAGE = 0x680000;  // above the 0x670000 one transfer carries

using E2eFlash = EndToEnd;

TEST_F(E2eFlash, FlashesAKernelByteForByteAndLeavesTheRestAlone) {
    start_sim();
    const std::string image = make_image("vmlinux", 200003, 1);  // not a whole number of packets
    const std::string before = flash();
    const testkit::RunResult run = kelvane({dir.file("vmlinux"), "kernel"});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    const std::string report = stop_sim();
    const std::string after = flash();
    EXPECT_EQ(after.substr(KERNEL, image.size()), image);
    // The flash command covers whole blocks; everything past them is as before.
    EXPECT_EQ(after.substr(0x40000), before.substr(0x40000));
    EXPECT_EQ(after.substr(MONITOR_AREA, MONITOR_AREA_SIZE), before.substr(MONITOR_AREA, MONITOR_AREA_SIZE));
    EXPECT_NE(report.find("programmed: 0x000000..0x03ffff (0x40000 bytes) from RAM 80090000 in 2 blocks"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("bytes sent with the gate bit set: 0\n"), std::string::npos);
}

TEST_F(E2eFlash, SplitsALargeRomdiskFlashesBothPiecesAndRemovesThem) {
    start_sim();
    const std::string image = make_image("rootfs.img", SPLIT_IMAGE, 2);
    const testkit::RunResult run = kelvane({dir.file("rootfs.img"), "romdisk"});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    const std::string report = stop_sim();
    EXPECT_TRUE(flash().substr(ROMDISK, image.size()) == image);
    EXPECT_NE(report.find("programmed: 0x200000..0x6fffff (0x500000 bytes)"), std::string::npos) << report;
    EXPECT_NE(report.find("programmed: 0x700000..0x87ffff (0x180000 bytes)"), std::string::npos) << report;
    EXPECT_FALSE(std::filesystem::exists(dir.file("rootfs.img.1")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("rootfs.img.2")));
}

TEST_F(E2eFlash, FlashesTwoImagesInOneRunUploadingTheLoaderOnce) {
    start_sim();
    const std::string report = flash_kernel_and_cramfs({}, 3).report;
    EXPECT_EQ(report_number(report, "records", "acked"), 196);
    EXPECT_EQ(report_number(report, "records", "loads completed"), 1);
    EXPECT_EQ(report_number(report, "programs", "returned"), 2);
}

TEST_F(E2eFlash, SecondRunWithoutUploadUsesTheLoaderLeftInRam) {
    start_sim();
    const std::string kernel = make_image("vmlinux", 50000, 5);
    const std::string cramfs = make_image("cramfs.img", 30000, 6);
    const testkit::RunResult first = kelvane({dir.file("vmlinux"), "kernel"});
    EXPECT_EQ(first.exit_status, 0) << first.err;
    const testkit::RunResult second = kelvane({"-X", dir.file("cramfs.img"), "cramfs"});
    EXPECT_EQ(second.exit_status, 0) << second.err;
    EXPECT_EQ(second.err.find("etxack"), std::string::npos);
    const std::string report = stop_sim();
    const std::string f = flash();
    EXPECT_EQ(f.substr(KERNEL, kernel.size()), kernel);
    EXPECT_EQ(f.substr(CRAMFS, cramfs.size()), cramfs);
    EXPECT_EQ(report_number(report, "records", "loads completed"), 1);
    EXPECT_EQ(report_number(report, "programs", "returned"), 2);
}

TEST_F(E2eFlash, RestartsTheSystemAfterFlashing) {
    // kelvane ends right after it sends the boot command: the handheld ends
    // itself once it has booted, so the report cannot be taken before the boot.
    start_sim({"--exit-after-boot"});
    const std::string kernel = make_image("vmlinux", 10000, 7);
    const testkit::RunResult run = kelvane({"-r", dir.file("vmlinux"), "kernel"});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.err.find("Restarting system...done\n"), std::string::npos) << run.err;
    EXPECT_EQ(sim->wait_exit(10000), 0) << testkit::read_file(dir.file("sim.log"));
    const std::string report = testkit::read_file(dir.file("report.txt"));
    EXPECT_EQ(flash().substr(KERNEL, kernel.size()), kernel);
    EXPECT_NE(report.find("boots: 1 system, 0 restore"), std::string::npos) << report;
}

TEST_F(E2eFlash, RestoresTheDefaultsWithoutFlashingAnything) {
    start_sim();
    const testkit::RunResult run = kelvane({"-R"});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.err.find("Hard reset\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("\nkelvane completed\n"), std::string::npos) << run.err;
    const std::string report = stop_sim();
    EXPECT_NE(report.find("boots: 0 system, 1 restore"), std::string::npos) << report;
    EXPECT_EQ(report_number(report, "programs", "started"), 0);
    EXPECT_NE(report.find("programmed: nothing"), std::string::npos);
}

TEST_F(E2eFlash, KeepsATranscriptOfTheDialogue) {
    start_sim();
    make_image("vmlinux", 1000, 8);
    const testkit::RunResult run = kelvane({"-l", dir.file("vmlinux"), "kernel"});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    stop_sim();
    const std::string log = testkit::read_file(dir.file("capture.log"));
    for (const char* record : {"\nload\n", "\ng -e a0080274\n", "\nflash 80090000 20000 0\n", "\ny\n",
                               "Programming block 1 of 1", "PMON> "}) {
        EXPECT_NE(log.find(record), std::string::npos) << record << " missing from:\n" << log;
    }
    // The loader's records and the XMODEM packets never reach the transcript.
    EXPECT_EQ(log.find("S31A"), std::string::npos);
}

}  // namespace

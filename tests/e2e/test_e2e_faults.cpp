// SPDX-License-Identifier: GPL-2.0-or-later
// kelvane against a handheld whose line misbehaves: lost, damaged and extra
// bytes, bytes swapped past the checksum, a handheld that falls silent, a line
// hung up, a refused upload and programming errors. No run may leave wrong
// data behind with exit status 0, and no packet byte may reach the monitor's
// command line; the single faults of a noisy cable are survived.
#include "e2e/e2e_run.h"

#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>

namespace {

constexpr uint32_t KERNEL = 0;
constexpr uint32_t CRAMFS = 0x100000;
constexpr uint32_t ROMDISK = 0x200000;
constexpr long long IMAGE_SIZE = 32768;      // 257 packets
constexpr long long SPLIT_IMAGE = 0x680000;  // split into two pieces
// The longest a receiver left behind may take to print its verdict and return.
constexpr int RECEIVER_BACK_MS = 5000;

enum class Expect { flashed, failed, either };

struct FaultCase {
    const char* what;
    std::vector<std::string> sim_args;
    Expect expect;
    const char* fault_counter;  // report label that must be non-zero
    std::vector<std::string> kelvane_args = {};
};

using E2eFaults = EndToEnd;

TEST_F(E2eFaults, LineFaultsDuringTheTransferNeverLeaveWrongDataBehind) {
    const FaultCase cases[] = {
        {"a lost byte: the receiver times out, NAKs, and the packet comes again",
         {"--rx-drop", "0.00004", "--seed", "3"},
         Expect::flashed,
         "rx dropped"},
        {"a damaged packet: NAK once the line is quiet, and the resend is taken",
         {"--rx-corrupt", "0.0002", "--seed", "3"},
         Expect::flashed,
         "rx corrupted"},
        {"a damaged 1024-byte packet on the fast line",
         {"--rx-corrupt", "0.0002", "--seed", "3"},
         Expect::flashed,
         "rx corrupted",
         {"-b", "921600"}},
        {"a burst of corrupted bytes",
         {"--rx-corrupt", "0.0002", "--burst", "8", "--seed", "4"},
         Expect::either,
         "rx corrupted"},
        {"a stray byte: dropped with the packet it hit, which comes again",
         {"--rx-noise", "0.0002", "--seed", "3"},
         Expect::flashed,
         "rx inserted"},
        {"a damaged answer (a lost ACK): the resend is acknowledged as a repeat",
         {"--tx-corrupt", "0.01", "--seed", "1"},
         Expect::flashed,
         "tx corrupted"},
        {"noise on the line to the host", {"--tx-noise", "0.01", "--seed", "2"}, Expect::either, "tx inserted"},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.what);
        start_sim_on_fresh_flash(c.sim_args);
        const std::string image = make_image("vmlinux", IMAGE_SIZE, 9);
        std::vector<std::string> args = c.kelvane_args;
        args.insert(args.end(), {dir.file("vmlinux"), "kernel"});
        const testkit::RunResult run = kelvane(args);
        const std::string report = stop_sim();
        EXPECT_GT(report_number(report, "faults", c.fault_counter), 0) << report;
        EXPECT_EQ(report_number(report, "monitor", "packet bytes"), 0) << report;
        const Outcome outcome = judge_run(run.exit_status, flash(), KERNEL, image);
        // Faults inside the transfer are found before the flash command: never a failure after writing.
        EXPECT_TRUE(outcome == Outcome::flashed || outcome == Outcome::refused_untouched)
            << outcome_name(outcome) << "\n"
            << run.err << report;
        if (c.expect == Expect::flashed) {
            EXPECT_EQ(outcome, Outcome::flashed) << run.err;
        }
        if (c.expect == Expect::failed) {
            EXPECT_EQ(outcome, Outcome::refused_untouched) << run.err;
            EXPECT_NE(run.err.find("Error:"), std::string::npos);
        }
    }
}

// Blocks full of monitor commands: were a packet ever read by the monitor,
// each carriage return would run the text before it and program 0x600000.
TEST_F(E2eFaults, AnImageOfMonitorCommandsNeverProgramsOutsideItsOwnRange) {
    const std::string command = "\rflash 80090000 20000 600000\ry\r";
    std::string image;
    while (image.size() < 0x10000) image += command;
    image.resize(0x10000);
    testkit::write_file(dir.file("cramfs.img"), image);
    start_sim({"--rx-corrupt", "0.0005", "--seed", "1"});
    const testkit::RunResult run = kelvane({dir.file("cramfs.img"), "cramfs"});
    const std::string report = stop_sim();
    EXPECT_GT(report_number(report, "faults", "rx corrupted"), 0) << report;
    EXPECT_EQ(report_number(report, "monitor", "packet bytes"), 0) << report;
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("programmed: ", 0) == 0 && line != "programmed: nothing") {
            EXPECT_EQ(line.rfind("programmed: 0x100000..0x11ffff ", 0), 0u) << line;
        }
    }
    EXPECT_EQ(flash().substr(0x600000, 0x20000), std::string(0x20000, '\xff'));
    EXPECT_NE(judge_run(run.exit_status, flash(), CRAMFS, image), Outcome::wrong) << run.err;
}

// Every packet damaged: the host gives up after its resends, and the receiver
// it leaves behind is stopped and back at the monitor moments after the run
// ends (it prints its verdict first, at 115200, on a machine that may be busy).
TEST_F(E2eFaults, ATransferThatFailsLeavesNoReceiverRunning) {
    for (const std::vector<std::string>& fast : {std::vector<std::string>{}, {"-b", "921600"}}) {
        SCOPED_TRACE(fast.empty() ? "115200" : "921600");
        start_sim_on_fresh_flash({"--rx-corrupt", "0.05", "--seed", "3"});
        const std::string image = make_image("vmlinux", IMAGE_SIZE, 16);
        std::vector<std::string> args = fast;
        args.insert(args.end(), {dir.file("vmlinux"), "kernel"});
        const testkit::RunResult run = kelvane(args);
        report_reaching("programs", "returned", 1, RECEIVER_BACK_MS);
        const std::string report = stop_sim();
        EXPECT_EQ(judge_run(run.exit_status, flash(), KERNEL, image), Outcome::refused_untouched) << run.err;
        EXPECT_NE(run.err.find("\nError:  Received NAK too many times.  Abort.\n"), std::string::npos) << run.err;
        EXPECT_EQ(report_number(report, "programs", "started"), 1) << report;
        EXPECT_EQ(report_number(report, "programs", "returned"), 1) << report;
        EXPECT_EQ(report_number(report, "monitor", "packet bytes"), 0) << report;
        EXPECT_NE(report.find("monitor's divisor 8, 0 programs left another"), std::string::npos) << report;
    }
}

// Two data bytes swapped inside the only packet keep its byte sum: the loader
// acknowledges and stores it, and only the CRC-32 it reports shows the damage.
// The fast line's streamed packets carry a CRC-32 each: a swap there is
// refused at once and the packet sent again, so no damaged packet is ever
// accepted and the run never ends with wrong data.
TEST_F(E2eFaults, ASwappedPairInsideOnePacketIsCaughtBeforeTheFlashCommand) {
    const struct {
        const char* what;
        long long image_size;
        size_t sent_size;  // the image and its filler, as the packets carry it
        std::vector<std::string> args;
    } cases[] = {
        {"a 128-byte packet", 100, 128, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        start_sim_on_fresh_flash({"--rx-swap", "1", "--seed", "5"});
        const std::string image = make_image("vmlinux", c.image_size, 15);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {dir.file("vmlinux"), "kernel"});
        const testkit::RunResult run = kelvane(args);
        const std::string report = stop_sim();
        EXPECT_EQ(report_number(report, "faults", "rx swapped"), 1) << report;
        EXPECT_EQ(report_number(report, "packets", "damaged accepted"), 1) << report;
        EXPECT_EQ(judge_run(run.exit_status, flash(), KERNEL, image), Outcome::refused_untouched) << run.err;
        EXPECT_NE(report.find("programmed: nothing"), std::string::npos) << report;
        std::string sent = image;
        sent.resize(c.sent_size, '\x1a');
        char ours[16];
        std::snprintf(ours, sizeof ours, "%08lx",
                      crc32(0, reinterpret_cast<const Bytef*>(sent.data()), static_cast<uInt>(sent.size())));
        EXPECT_NE(run.err.find("\nError:  '" + dir.file("vmlinux") + "' arrived damaged (CRC-32 "), std::string::npos)
            << run.err;
        EXPECT_NE(run.err.find(std::string(", sent ") + ours + ").  Aborting.\n\n"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("Sending flash command"), std::string::npos) << run.err;
    }
}

TEST_F(E2eFaults, ASwappedPairInAStreamedPacketIsNeverAccepted) {
    start_sim({"--rx-swap", "1", "--seed", "5"});
    const std::string image = make_image("vmlinux", 20000, 15);
    const testkit::RunResult run = kelvane({"-b", "921600", dir.file("vmlinux"), "kernel"});
    const std::string report = stop_sim();
    EXPECT_EQ(report_number(report, "packets", "damaged accepted"), 0) << report;
    const Outcome outcome = judge_run(run.exit_status, flash(), KERNEL, image);
    EXPECT_TRUE(outcome == Outcome::flashed || outcome == Outcome::refused_untouched)
        << outcome_name(outcome) << "\n" << run.err << report;
    EXPECT_EQ(report_number(report, "monitor", "packet bytes"), 0) << report;
}

TEST_F(E2eFaults, AHandheldThatFallsSilentMidTransferEndsTheRunUntouched) {
    start_sim({"--silent-after", "30000"});  // a little past the upload, inside the transfer
    const std::string image = make_image("vmlinux", IMAGE_SIZE, 10);
    const testkit::RunResult run = kelvane({dir.file("vmlinux"), "kernel"});
    const std::string report = stop_sim();
    EXPECT_NE(report.find("silent yes"), std::string::npos);
    EXPECT_EQ(judge_run(run.exit_status, flash(), KERNEL, image), Outcome::refused_untouched) << run.err;
    EXPECT_NE(run.err.find("Error:  Read timeout.  Abort."), std::string::npos) << run.err;
}

TEST_F(E2eFaults, ALineHungUpMidTransferGivesAClearErrorAndRemovesThePieces) {
    start_sim({"--hangup-after", "200000"});
    const std::string image = make_image("rootfs.img", SPLIT_IMAGE, 11);
    const testkit::RunResult run = kelvane({dir.file("rootfs.img"), "romdisk"});
    const std::string report = stop_sim();
    EXPECT_NE(report.find("hung up yes"), std::string::npos);
    EXPECT_EQ(judge_run(run.exit_status, flash(), ROMDISK, image), Outcome::refused_untouched) << run.err;
    EXPECT_NE(run.err.find("\nError:"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("rootfs.img.1")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("rootfs.img.2")));
}

// Every load refuses its fifth record. The failed upload ends its load with
// the loader's end record alone (a NAK leaves no part of a line to close), so
// the monitor is at its prompt for the next run, which meets the same refusal
// and ends the same way: per run four records and the end record acked, one
// refused, one load completed, and no byte of the ending read as a command.
TEST_F(E2eFaults, ARefusedLoaderRecordEndsTheRunBeforeAnythingIsSent) {
    start_sim({"--nak-record", "5"});
    const std::string image = make_image("vmlinux", IMAGE_SIZE, 12);
    for (int run_number = 1; run_number <= 2; ++run_number) {
        SCOPED_TRACE(run_number);
        const testkit::RunResult run = kelvane({dir.file("vmlinux"), "kernel"});
        EXPECT_EQ(run.exit_status, 1);
        EXPECT_NE(run.err.find("Error:  ex_send received NAK.  Aborting"), std::string::npos) << run.err;
    }
    const std::string report = stop_sim();
    EXPECT_NE(report.find("records: 10 acked, 2 refused, 2 loads completed"), std::string::npos) << report;
    EXPECT_EQ(report_number(report, "programs", "started"), 0);
    EXPECT_NE(report.find("programmed: nothing"), std::string::npos);
    EXPECT_EQ(report_number(report, "monitor", "packet bytes"), 0) << report;
}

TEST_F(E2eFaults, ProgrammingErrorsAreShownAndStopTheRunBeforeTheNextImage) {
    start_sim({"--error-every", "2"});
    make_image("vmlinux", 0x40000, 13);  // two blocks: the second reports an error
    const std::string cramfs = make_image("cramfs.img", IMAGE_SIZE, 14);
    const testkit::RunResult run = kelvane({dir.file("vmlinux"), "kernel", dir.file("cramfs.img"), "cramfs"});
    const std::string report = stop_sim();
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.err.find("\nWARNING:  'Error: block 2"), std::string::npos) << run.err;
    EXPECT_EQ(flash().substr(CRAMFS, cramfs.size()), std::string(cramfs.size(), '\xff'));
    EXPECT_EQ(report_number(report, "programs", "started"), 1);
}

// A monitor that idles NULs around its prompt once a flash command is done:
// the prompt among them ends the programming watch as it comes (not after the
// line reader's 50 s), and the next image follows on the same line.
TEST_F(E2eFaults, APromptAmongNulsEndsTheProgrammingWatchAtOnce) {
    start_sim({"--nuls-at-prompt"});
    const std::string kernel = make_image("vmlinux", IMAGE_SIZE, 15);
    const std::string cramfs = make_image("cramfs.img", IMAGE_SIZE, 16);
    const auto started = std::chrono::steady_clock::now();
    const testkit::RunResult run = kelvane({dir.file("vmlinux"), "kernel", dir.file("cramfs.img"), "cramfs"});
    const auto took = std::chrono::steady_clock::now() - started;
    const std::string report = stop_sim();
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.err.find("timeout reading from port"), std::string::npos) << run.err;
    EXPECT_LT(took, std::chrono::seconds(30)) << run.err;
    EXPECT_EQ(flash().substr(KERNEL, kernel.size()), kernel);
    EXPECT_EQ(flash().substr(CRAMFS, cramfs.size()), cramfs);
    EXPECT_EQ(report_number(report, "monitor", "packet bytes"), 0) << report;
}

}  // namespace

// SPDX-License-Identifier: GPL-2.0-or-later
// A run stopped mid-transfer (SIGSTOP, as CTRL-Z) until the receiver has given
// up and returned to the monitor, then continued: the NAKs queued meanwhile
// are stale, and the sender asks the receiver before it sends anything, finds
// it gone and ends. The image is monitor commands over and over, so a packet
// resent into the monitor's command line would program 0x600000. The
// receiver's 20 time-outs take the better part of two minutes. The streamed
// receiver says it leaves; the sender then sends it nothing more.
#include "e2e/e2e_run.h"

#include <signal.h>

namespace {

constexpr uint32_t ROMDISK = 0x200000;
constexpr uint32_t TRAP = 0x600000;  // what the image's commands would program
constexpr int RUN_LIMIT_MS = 300000;
// A receiver that gives up (20 time-outs) and prints its verdict, on a busy machine.
constexpr int RECEIVER_BACK_MS = 400000;

using E2eStoppedSender = EndToEnd;

// Plain XMODEM at the monitor's rate, and the stream at 921600 bit/s.
TEST_F(E2eStoppedSender, AStoppedAndContinuedRunSendsNothingToTheMonitor) {
    const std::vector<std::string> rates[] = {{}, {"-b", "921600"}};
    for (const std::vector<std::string>& rate : rates) {
        SCOPED_TRACE(rate.empty() ? "plain" : "streamed");
        start_sim_on_fresh_flash({"--baud", "115200"});
        const std::string command = "\rflash 80090000 20000 600000\ry\r";
        std::string image;
        while (image.size() < 0x20000) image += command;
        image.resize(0x20000);
        testkit::write_file(dir.file("rd.img"), image);
        std::vector<std::string> args{"-t", dir.path(), "-s", sim->port()};
        args.insert(args.end(), rate.begin(), rate.end());
        args.insert(args.end(), {dir.file("rd.img"), "romdisk"});
        testkit::Child run = start_kelvane(args, dir.path(), dir.file("stderr.txt"));
        // Some 5 KB of the image on the line (the loader's upload is behind).
        const long long loaded =
            report_number(report_reaching("records", "loads completed", rate.empty() ? 1 : 2, RUN_LIMIT_MS), "line",
                          "bytes received");
        report_reaching("line", "bytes received", loaded + 5000, RUN_LIMIT_MS);
        run.signal(SIGSTOP);
        report_reaching("programs", "returned", 1, RECEIVER_BACK_MS);
        run.signal(SIGCONT);
        const std::optional<int> status = run.wait_for(RUN_LIMIT_MS);
        ASSERT_TRUE(status.has_value());
        const std::string err = testkit::read_file(dir.file("stderr.txt"));
        const std::string report = stop_sim();
        EXPECT_EQ(*status, 1) << err;
        EXPECT_NE(err.find("\nError:  the receiver was lost while kelvane was stopped.  Aborting."), std::string::npos)
            << err;
        EXPECT_EQ(judge_run(*status, flash(), ROMDISK, image), Outcome::refused_untouched) << err << report;
        EXPECT_EQ(flash().substr(TRAP, 0x20000), std::string(0x20000, '\xff')) << report;
        EXPECT_EQ(report_number(report, "monitor", "packet bytes"), 0) << report;
        // Nothing was written to the monitor at a rate it no longer listens at.
        EXPECT_EQ(report_number(report, "rate mismatch", "received garbled"), 0) << report;
    }
}

}  // namespace

// SPDX-License-Identifier: GPL-2.0-or-later
// A run stopped mid-transfer (SIGSTOP, as CTRL-Z) until the receiver has given
// up and returned to the monitor, then continued: the NAKs queued meanwhile
// are stale, and the sender asks the receiver before it sends anything, finds
// it gone and ends. The image is monitor commands over and over, so a packet
// resent into the monitor's command line would program 0x600000. The
// receiver's 20 time-outs take the better part of two minutes.
#include "e2e/e2e_run.h"

#include <signal.h>

namespace {

constexpr uint32_t ROMDISK = 0x200000;
constexpr uint32_t TRAP = 0x600000;  // what the image's commands would program
constexpr int RUN_LIMIT_MS = 300000;
// A receiver that gives up (20 time-outs) and prints its verdict, on a busy machine.
constexpr int RECEIVER_BACK_MS = 400000;

using E2eStoppedSender = EndToEnd;

TEST_F(E2eStoppedSender, AStoppedAndContinuedRunSendsNothingToTheMonitor) {
    start_sim({"--baud", "115200"});
    const std::string command = "\rflash 80090000 20000 600000\ry\r";
    std::string image;
    while (image.size() < 0x20000) image += command;
    image.resize(0x20000);
    testkit::write_file(dir.file("rd.img"), image);
    testkit::Child run =
        start_kelvane({"-t", dir.path(), "-s", sim->port(), dir.file("rd.img"), "romdisk"}, dir.path(),
                      dir.file("stderr.txt"));
    report_reaching("packets", "answered", 40, RUN_LIMIT_MS);
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
}

}  // namespace

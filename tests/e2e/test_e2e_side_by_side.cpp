// SPDX-License-Identifier: GPL-2.0-or-later
// Runs that share a temp directory or a port with another run, as when several
// handhelds are flashed at once from one image: a run whose pieces or port are
// taken must end before its own port opens, and the other run must still put
// its image into its flash byte for byte.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <grp.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>

#include "e2e/e2e_run.h"
#include "support/port_state.h"
#include "testkit/background.h"

namespace {

constexpr uint32_t KERNEL = 0;
constexpr uint32_t ROMDISK = 0x200000;
constexpr long long SPLIT_IMAGE = 0x680000;  // above one transfer: two pieces
constexpr int RUN_MS = 600000;               // guards a hung run; a split run takes about a minute at most
constexpr int MARK_MS = 120000;              // until a run under way prints the text awaited

const std::string SPLIT_HEADER = "\nRomdisk larger than 0x670000.  Splitting into:\n";

std::string in_use_by_a_run(const std::string& piece) {
    return SPLIT_HEADER + "\nError:  '" + piece + "' is in use by another run (use another -t).  Aborting.\n\n";
}

// Up to the hint line, which names the holder.
std::string in_use_by_a_program(const std::string& tty) {
    return "\nOpening serial port...\nError:  port '" + tty + "' is in use by another program.  Aborting.\n";
}

class SideBySide : public EndToEnd {
protected:
    // A second handheld with a flash and a report of its own, in the same directory.
    void start_second_sim(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args{"--flash", dir.file("flash2.bin"), "--report", dir.file("report2.txt")};
        args.insert(args.end(), extra.begin(), extra.end());
        sim2 = std::make_unique<SimProcess>(args, dir.file("sim2.log"));
    }
    std::string stop_second_sim() {
        EXPECT_EQ(sim2->stop(), 0) << testkit::read_file(dir.file("sim2.log"));
        return testkit::read_file(dir.file("report2.txt"));
    }
    // kelvane's words for a run on the handheld behind port, with -t the test's directory.
    std::vector<std::string> args_for(const SimProcess& handheld, const std::vector<std::string>& rest) {
        std::vector<std::string> all{"-t", dir.path(), "-s", handheld.port()};
        all.insert(all.end(), rest.begin(), rest.end());
        return all;
    }
    std::unique_ptr<testkit::BackgroundRun> spawn(const SimProcess& handheld, const std::vector<std::string>& rest) {
        testkit::BackgroundOptions options;
        options.cwd = dir.path();
        return std::make_unique<testkit::BackgroundRun>(KELVANE_BINARY, args_for(handheld, rest), options);
    }
    // A handheld that never heard a byte and whose image region is still erased.
    void expect_untouched(const std::string& report, const std::string& flash_file, uint32_t offset, size_t size) {
        EXPECT_EQ(report_number(report, "line", "bytes received"), 0) << report;
        EXPECT_EQ(testkit::read_file(flash_file).substr(offset, size), std::string(size, '\xff'));
    }

    std::unique_ptr<SimProcess> sim2;
};

struct stat status_of(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return status;
}

TEST_F(SideBySide, TwoHandheldsFromOneImageAndOneTempDirectory) {
    start_sim();
    start_second_sim();
    const std::string image = make_image("rootfs.img", SPLIT_IMAGE, 21);
    const std::string piece1 = dir.file("rootfs.img.1");
    const std::string piece2 = dir.file("rootfs.img.2");

    const auto first = spawn(*sim, {dir.file("rootfs.img"), "romdisk"});
    ASSERT_TRUE(first->wait_for("Opening serial port...done\n", MARK_MS)) << first->err();
    const struct stat held1 = status_of(piece1);
    const struct stat held2 = status_of(piece2);
    for (const struct stat& held : {held1, held2}) {
        EXPECT_EQ(held.st_mode & 07777, 0600u);
        EXPECT_EQ(held.st_uid, geteuid());
    }

    const testkit::RunResult second = run_kelvane(args_for(*sim2, {dir.file("rootfs.img"), "romdisk"}), dir.path());
    EXPECT_EQ(second.exit_status, 1);
    EXPECT_EQ(second.err, in_use_by_a_run(piece1));
    // The first run's pieces are the very files it made, untouched.
    EXPECT_EQ(status_of(piece1).st_ino, held1.st_ino);
    EXPECT_EQ(status_of(piece2).st_ino, held2.st_ino);
    EXPECT_EQ(status_of(piece1).st_size, 0x500000);
    EXPECT_EQ(status_of(piece2).st_size, 0x180000);

    const testkit::BackgroundEnd end = first->finish(RUN_MS);
    EXPECT_EQ(end.exit_status, 0) << end.err;
    EXPECT_TRUE(end.err.ends_with("Cleanup removing " + piece1 + " ...done\nCleanup removing " + piece2 + " ...done\n"))
        << end.err;
    stop_sim();
    EXPECT_TRUE(flash().substr(ROMDISK, image.size()) == image) << "the first handheld's flash differs";
    expect_untouched(stop_second_sim(), dir.file("flash2.bin"), ROMDISK, image.size());
    EXPECT_FALSE(std::filesystem::exists(piece1));
    EXPECT_FALSE(std::filesystem::exists(piece2));
}

// Started together, the runs take turns at the directory: exactly one makes the
// pieces and flashes, the other finds them held.
TEST_F(SideBySide, TwoRunsStartedAtTheSameMoment) {
    start_sim();
    start_second_sim();
    const std::string image = make_image("rootfs.img", SPLIT_IMAGE, 22);
    const auto a = spawn(*sim, {dir.file("rootfs.img"), "romdisk"});
    const auto b = spawn(*sim2, {dir.file("rootfs.img"), "romdisk"});
    const testkit::BackgroundEnd end_a = a->finish(RUN_MS);
    const testkit::BackgroundEnd end_b = b->finish(RUN_MS);
    const std::string report_a = stop_sim();
    const std::string report_b = stop_second_sim();

    ASSERT_EQ(end_a.exit_status + end_b.exit_status, 1) << end_a.err << "\n----\n" << end_b.err;
    const bool a_won = end_a.exit_status == 0;
    const testkit::BackgroundEnd& loser = a_won ? end_b : end_a;
    EXPECT_EQ(loser.err, in_use_by_a_run(dir.file("rootfs.img.1")));
    const std::string winner_flash = testkit::read_file(a_won ? dir.file("flash.bin") : dir.file("flash2.bin"));
    EXPECT_TRUE(winner_flash.substr(ROMDISK, image.size()) == image) << "the winner's flash differs";
    expect_untouched(a_won ? report_b : report_a, a_won ? dir.file("flash2.bin") : dir.file("flash.bin"), ROMDISK,
                     image.size());
    EXPECT_FALSE(std::filesystem::exists(dir.file("rootfs.img.1")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("rootfs.img.2")));
}

// A run sends only what it wrote: a piece replaced by name after the split is
// refused before its receiver is started, and the exit cleanup leaves the
// replacement alone. The line is paced, so the run is still uploading the
// receiver when the piece is replaced.
TEST_F(SideBySide, APieceReplacedDuringTheRunIsNeitherSentNorRemoved) {
    start_sim({"--baud", "115200"});
    make_image("rootfs.img", SPLIT_IMAGE, 23);
    const std::string piece1 = dir.file("rootfs.img.1");
    const std::string piece2 = dir.file("rootfs.img.2");
    const auto run = spawn(*sim, {dir.file("rootfs.img"), "romdisk"});
    ASSERT_TRUE(run->wait_for("Waiting for input from port", MARK_MS)) << run->err();
    testkit::write_file(dir.file("forged"), "someone else's image");
    ASSERT_EQ(rename(dir.file("forged").c_str(), piece1.c_str()), 0);

    const testkit::BackgroundEnd end = run->finish(RUN_MS);
    EXPECT_EQ(end.exit_status, 1);
    EXPECT_TRUE(end.err.ends_with("Looking for PMON prompt...done\n\nError:  '" + piece1 +
                                  "' was replaced during the run.  Aborting.\n\nCleanup removing " + piece1 +
                                  " ...done\nCleanup removing " + piece2 + " ...done\n"))
        << end.err;
    EXPECT_EQ(testkit::read_file(piece1), "someone else's image");
    EXPECT_FALSE(std::filesystem::exists(piece2));
    const std::string report = stop_sim();
    EXPECT_NE(report.find("programmed: nothing"), std::string::npos) << report;
}

// Two runs on one port: the second ends before it writes a byte or changes a
// setting, and the first flashes its image undisturbed. The line is paced, so
// the first run is still at work when the second starts.
void two_runs_on_one_port(const SimProcess& handheld, const std::string& image_file,
                          const std::function<void()>& while_first_runs) {
    testkit::BackgroundRun first(KELVANE_BINARY, {"-s", handheld.port(), image_file, "kernel"});
    ASSERT_TRUE(first.wait_for("Opening serial port...done\n", MARK_MS)) << first.err();
    const testkit::RunResult second = run_kelvane({"-s", handheld.port(), image_file, "kernel"});
    EXPECT_EQ(second.exit_status, 1);
    // The hint names the run that holds the port (as root, the lock's holder alone).
    const std::string holder = "kelvane (pid " + std::to_string(first.pid()) + ")";
    EXPECT_TRUE(second.err.starts_with(in_use_by_a_program(handheld.tty()) + "Hint:  held by ")) << second.err;
    EXPECT_THAT(second.err, testing::HasSubstr(holder));
    EXPECT_TRUE(second.err.ends_with("; end it, or give another port with -s\n\n")) << second.err;
    if (geteuid() == 0) {
        EXPECT_THAT(second.err, testing::HasSubstr("Hint:  held by " + holder + "; end it"));
    }
    while_first_runs();
    const testkit::BackgroundEnd end = first.finish(RUN_MS);
    EXPECT_EQ(end.exit_status, 0) << end.err;
}

TEST_F(SideBySide, TwoRunsOnOnePortAsRoot) {
    if (geteuid() != 0) GTEST_SKIP() << "the unprivileged case is the next test";
    start_sim({"--baud", "115200"});
    const std::string image = make_image("vmlinux", 3000, 24);
    two_runs_on_one_port(*sim, dir.file("vmlinux"), [&] { EXPECT_TRUE(port_exclusive(sim->tty())); });
    EXPECT_FALSE(port_exclusive(sim->tty()));
    stop_sim();
    EXPECT_EQ(flash().substr(KERNEL, image.size()), image);
}

// Whether the user nobody can run both programs: a build tree under a private
// directory (a home of mode 0700, a package build's scratch) is out of its reach.
bool nobody_reaches_the_programs() {
    const passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr) return false;
    testkit::Child child([&] {
        if (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) return 3;
        return access(KELVANE_BINARY, X_OK) == 0 && access(QZ4SIM_BINARY, X_OK) == 0 ? 0 : 1;
    });
    return child.wait() == 0;
}

// Runs body in a child process as the user nobody; true when it recorded no failure.
bool as_nobody(const std::string& dir, const std::function<void()>& body) {
    const passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr) {
        ADD_FAILURE() << "no user nobody";
        return false;
    }
    EXPECT_EQ(chown(dir.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    testkit::Child child([&] {
        if (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) return 3;
        body();
        fflush(stdout);  // the child's failure reports
        return testing::Test::HasFailure() ? 1 : 0;
    });
    return child.wait() == 0;
}

class SideBySideUnprivileged : public SideBySide {
protected:
    // Root opens through the exclusive mode; an unprivileged user does not: the
    // second run's open is refused (EBUSY), as is the test's own. After the
    // first run the port opens again, because the run cleared the mode it set.
    void two_runs_and_a_third() {
        start_sim({"--baud", "115200"});
        const std::string image = make_image("vmlinux", 3000, 25);
        two_runs_on_one_port(*sim, dir.file("vmlinux"), [&] { EXPECT_TRUE(port_exclusive(sim->tty())); });
        EXPECT_FALSE(port_exclusive(sim->tty())) << "the exclusive mode outlived the run";
        const testkit::RunResult third = run_kelvane({"-X", "-s", sim->port(), dir.file("vmlinux"), "kernel"});
        EXPECT_EQ(third.exit_status, 0) << third.err;
        stop_sim();
        EXPECT_EQ(flash().substr(KERNEL, image.size()), image);
    }
};

// The user starts the simulator too, so the pseudo-terminal is theirs.
TEST_F(SideBySideUnprivileged, TwoRunsOnOnePort) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    if (!nobody_reaches_the_programs()) GTEST_SKIP() << "the user nobody cannot reach the build tree";
    const bool passed = as_nobody(dir.path(), [&] {
        two_runs_and_a_third();
        sim.reset();  // a run cut short by a failure must not leave the simulator behind
    });
    EXPECT_TRUE(passed) << "the unprivileged runs failed; their reports are above";
}

}  // namespace

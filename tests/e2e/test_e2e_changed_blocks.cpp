// SPDX-License-Identifier: GPL-2.0-or-later
// -u against the simulated handheld: for each pattern of blocks in which the
// flash differs from the image, the run ends with the flash holding the image
// and the monitor having programmed exactly the runs of changed blocks; a
// damaged digest line makes its block count as changed, never as unchanged;
// an image rewritten during the run is never programmed.
#include "e2e/e2e_run.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr uint32_t ROMDISK = 0x200000;
constexpr uint32_t BLOCK = 0x20000;
constexpr long long IMAGE_SIZE = 5 * BLOCK + 0x8123;  // six blocks, the last one partial
constexpr int BLOCKS = 6;
constexpr size_t FLASH_SIZE = 0x1000000;

using E2eChangedBlocks = EndToEnd;

size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// The report's "programmed:" lines, as the sim writes them.
std::set<std::string> programmed_lines(const std::string& report) {
    std::set<std::string> lines;
    for (size_t at = report.find("programmed: "); at != std::string::npos; at = report.find("programmed: ", at + 1))
        lines.insert(report.substr(at, report.find('\n', at) - at));
    return lines;
}

// The line for a flash command over count blocks from block first.
std::string programmed_line(int first, int count) {
    const uint32_t offset = ROMDISK + first * BLOCK;
    const uint32_t size = count * BLOCK;
    char line[128];
    std::snprintf(line, sizeof line, "programmed: 0x%06x..0x%06x (0x%x bytes) from RAM 80090000 in %d blocks", offset,
                  offset + size - 1, size, count);
    return line;
}

// A flash that holds the image except in the blocks named, which hold other
// bytes; `erased` leaves the whole region erased instead.
void write_flash(const std::string& path, const std::string& image, const std::vector<int>& changed, bool erased,
                 bool change_past_end) {
    std::string flash(FLASH_SIZE, '\xff');
    if (!erased) flash.replace(ROMDISK, image.size(), image);
    for (int block : changed) flash[ROMDISK + block * BLOCK + 0x1000] ^= 0x01;
    // Past the image's end, inside its last block: not the image's bytes.
    if (change_past_end) flash[ROMDISK + image.size() + 5] = 0x00;
    testkit::write_file(path, flash);
}

TEST_F(E2eChangedBlocks, ProgramsExactlyTheRunsOfChangedBlocks) {
    struct Case {
        const char* what;
        std::vector<int> changed;
        bool erased;
        bool change_past_end;
        std::vector<std::string> expected;  // programmed lines
        int writing;
    };
    const Case cases[] = {
        {"nothing changed", {}, false, false, {"programmed: nothing"}, 0},
        {"the first block", {0}, false, false, {programmed_line(0, 1)}, 1},
        {"the last, partial block", {5}, false, false, {programmed_line(5, 1)}, 1},
        {"past the image's end in its last block only", {}, false, true, {"programmed: nothing"}, 0},
        {"every other block",
         {1, 3, 5},
         false,
         false,
         {programmed_line(1, 1), programmed_line(3, 1), programmed_line(5, 1)},
         3},
        {"two runs", {0, 1, 3, 4}, false, false, {programmed_line(0, 2), programmed_line(3, 2)}, 4},
        {"all blocks", {0, 1, 2, 3, 4, 5}, false, false, {programmed_line(0, BLOCKS)}, BLOCKS},
        {"an erased flash", {}, true, false, {programmed_line(0, BLOCKS)}, BLOCKS},
    };
    const std::string image = make_image("rootfs.img", IMAGE_SIZE, 26);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write_flash(dir.file("flash.bin"), image, c.changed, c.erased, c.change_past_end);
        start_sim();
        const testkit::RunResult run = kelvane({"-u", dir.file("rootfs.img"), "romdisk"});
        const std::string report = stop_sim();
        EXPECT_EQ(run.exit_status, 0) << run.err;
        EXPECT_TRUE(flash().substr(ROMDISK, image.size()) == image);
        EXPECT_EQ(programmed_lines(report), std::set<std::string>(c.expected.begin(), c.expected.end())) << report;
        const std::string unchanged = "Unchanged: " + std::to_string(BLOCKS - c.writing) + " of " +
                                      std::to_string(BLOCKS) + " blocks hold the image already; writing " +
                                      std::to_string(c.writing) + ".\n";
        EXPECT_NE(run.err.find(unchanged), std::string::npos) << run.err;
        // One transfer for each run, none when nothing changed.
        EXPECT_EQ(count_of(run.err, "Starting xmodem send"), c.writing == 0 ? 0 : c.expected.size()) << run.err;
    }
}

// -b carries the runs on the fast line; -V reads the whole image back after them.
TEST_F(E2eChangedBlocks, RunsTravelOnTheFastLineAndTheWholeImageIsVerified) {
    const std::string image = make_image("rootfs.img", IMAGE_SIZE, 27);
    write_flash(dir.file("flash.bin"), image, {2}, false, false);
    start_sim();
    const testkit::RunResult run = kelvane({"-u", "-V", "-b", "921600", dir.file("rootfs.img"), "romdisk"});
    const std::string report = stop_sim();
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_TRUE(flash().substr(ROMDISK, image.size()) == image);
    EXPECT_EQ(programmed_lines(report), std::set<std::string>{programmed_line(2, 1)}) << report;
    EXPECT_NE(run.err.find("Verifying flash...done\n"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("Notice:"), std::string::npos) << run.err;
    // The run's piece is gone at exit.
    EXPECT_FALSE(std::filesystem::exists(dir.file("rootfs.img.at240000")));
}

// The digest entry is the first program of the run, so the sent bytes that
// the seeded faults damage first are its lines: the blocks of damaged lines
// count as changed and are written again (or the run fails on the damage
// that follows in their transfer), and the flash holds the image either way.
TEST_F(E2eChangedBlocks, ADamagedDigestLineMakesItsBlockChanged) {
    const std::string image = make_image("rootfs.img", IMAGE_SIZE, 26);
    write_flash(dir.file("flash.bin"), image, {}, false, false);
    start_sim({"--tx-corrupt", "0.01", "--seed", "3"});
    const testkit::RunResult run = kelvane({"-u", dir.file("rootfs.img"), "romdisk"});
    const std::string report = stop_sim();
    EXPECT_GT(report_number(report, "faults", "tx corrupted"), 0) << report;
    EXPECT_TRUE(flash().substr(ROMDISK, image.size()) == image);
    const size_t line = run.err.find("Unchanged: ");
    ASSERT_NE(line, std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("writing 0.", line), std::string::npos) << run.err;
}

enum class Rewrite { ordinary_write, shared_mapping };

// The image file opened for a rewrite in place; a mapping is written once
// before the run, so that its pages are dirty and writable and a later write
// through it need not move the file's times.
class InPlace {
public:
    InPlace(const std::string& path, size_t size) : size_(size) {
        fd_ = open(path.c_str(), O_RDWR);
        EXPECT_GE(fd_, 0);
        void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        EXPECT_NE(mapped, MAP_FAILED);
        bytes_ = static_cast<unsigned char*>(mapped);
        volatile unsigned char* page = bytes_;
        for (size_t at = 0; at < size; at += 4096) page[at] = page[at];
    }
    ~InPlace() {
        munmap(bytes_, size_);
        close(fd_);
    }
    // Every byte changed, the size kept; the new content.
    std::string rewrite(Rewrite how) {
        std::string now(reinterpret_cast<const char*>(bytes_), size_);
        for (char& c : now) c = static_cast<char>(c ^ 0x20);
        if (how == Rewrite::shared_mapping)
            std::memcpy(bytes_, now.data(), size_);
        else
            EXPECT_EQ(pwrite(fd_, now.data(), size_, 0), static_cast<ssize_t>(size_));
        return now;
    }

private:
    int fd_ = -1;
    unsigned char* bytes_ = nullptr;
    size_t size_ = 0;
};

// The image rewritten in place (same size, by an ordinary write or through a
// shared mapping) once the run has reached a state the simulator reports: the
// run ends 1 before the flash command that would follow, with nothing more
// programmed; the next run flashes the file as it is now.
TEST_F(E2eChangedBlocks, AnImageRewrittenDuringTheRunIsNeverProgrammed) {
    constexpr int RUN_MS = 300000;
    struct Case {
        const char* what;
        std::vector<int> changed;  // the blocks in which the flash differs
        Rewrite how;
        const char* key;  // the report's count that shows the state reached
        const char* label;
        long long at_least;
        std::vector<std::string> programmed;  // by the run that meets the rewrite
        bool next_run;                        // run again on the file as it is now
    };
    const Case cases[] = {
        {"an ordinary write while the only run is sent",
         {0, 1, 2, 3, 4, 5},
         Rewrite::ordinary_write,
         "packets",
         "answered",
         40,
         {"programmed: nothing"},
         true},
        {"a mapping's write while the only run is sent",
         {0, 1, 2, 3, 4, 5},
         Rewrite::shared_mapping,
         "packets",
         "answered",
         40,
         {"programmed: nothing"},
         false},
        {"an ordinary write once the first of two runs is programmed",
         {0, 1, 3, 4},
         Rewrite::ordinary_write,
         "programmed",
         "blocks",
         2,
         {programmed_line(0, 2)},
         true},
        {"a mapping's write once the first of two runs is programmed",
         {0, 1, 3, 4},
         Rewrite::shared_mapping,
         "programmed",
         "blocks",
         2,
         {programmed_line(0, 2)},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string image = make_image("rootfs.img", IMAGE_SIZE, 28);
        write_flash(dir.file("flash.bin"), image, c.changed, false, false);
        const std::string flash_before = testkit::read_file(dir.file("flash.bin"));
        std::string now;
        // The state is read from this simulator's reports only, not the last one's.
        std::filesystem::remove(dir.file("report.txt"));
        start_sim();
        {
            InPlace file(dir.file("rootfs.img"), image.size());
            testkit::Child run =
                start_kelvane({"-t", dir.path(), "-s", sim->port(), "-u", dir.file("rootfs.img"), "romdisk"},
                              dir.path(), dir.file("stderr.txt"));
            const std::string reached = report_reaching(c.key, c.label, c.at_least, RUN_MS);
            ASSERT_GE(report_number(reached, c.key, c.label), c.at_least) << reached;
            now = file.rewrite(c.how);
            const std::optional<int> status = run.wait_for(RUN_MS);
            ASSERT_TRUE(status.has_value());
            const std::string err = testkit::read_file(dir.file("stderr.txt"));
            EXPECT_EQ(*status, 1) << err;
            EXPECT_NE(err.find("\nError:  '" + dir.file("rootfs.img") + "' changed since it was checked.  Aborting."),
                      std::string::npos)
                << err;
        }
        const std::string report = stop_sim();
        EXPECT_EQ(programmed_lines(report), std::set<std::string>(c.programmed.begin(), c.programmed.end())) << report;
        EXPECT_EQ(report_number(report, "monitor", "packet bytes"), 0) << report;
        // The flash holds what it held, but for the runs programmed before the rewrite.
        std::string expected = flash_before;
        if (c.programmed.front() != "programmed: nothing") expected.replace(ROMDISK, 2 * BLOCK, image, 0, 2 * BLOCK);
        EXPECT_TRUE(flash() == expected);

        if (!c.next_run) continue;
        start_sim();
        const testkit::RunResult next = kelvane({"-u", dir.file("rootfs.img"), "romdisk"});
        stop_sim();
        EXPECT_EQ(next.exit_status, 0) << next.err;
        EXPECT_TRUE(flash().substr(ROMDISK, now.size()) == now);
    }
}

// The user's copy of the image at the name of the image's first run piece,
// given as a second image of the run, on a flash that differs in every block:
// refused before the port opens, the copy kept and nothing sent to the
// handheld. With another -t the same run flashes both and the copy stays.
TEST_F(E2eChangedBlocks, AnImageOfTheRunAtAPiecesNameIsRefusedAndKept) {
    const std::string image = make_image("a.img", IMAGE_SIZE, 29);
    const std::string copy = dir.file("a.img.at400000");
    testkit::write_file(copy, image);
    start_sim_on_fresh_flash();
    const testkit::RunResult run = kelvane({"-u", dir.file("a.img"), "0x400000", copy, "0x600000"});
    const std::string report = stop_sim();
    EXPECT_EQ(run.exit_status, 1) << run.err;
    EXPECT_NE(
        run.err.find("\nError:  '" + dir.file("a.img") + "' would overwrite '" + copy + "', an image of this run\n"),
        std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("Opening serial port"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("Cleanup removing"), std::string::npos) << run.err;
    EXPECT_TRUE(testkit::read_file(copy) == image);
    EXPECT_NE(report.find("programmed: nothing"), std::string::npos) << report;
    EXPECT_EQ(report_number(report, "line", "bytes received"), 0) << report;
    EXPECT_EQ(report_number(report, "monitor", "packet bytes"), 0) << report;

    ASSERT_TRUE(std::filesystem::create_directory(dir.file("t2")));
    start_sim();
    const testkit::RunResult next = run_kelvane(
        {"-t", dir.file("t2"), "-s", sim->port(), "-u", dir.file("a.img"), "0x400000", copy, "0x600000"}, dir.path());
    const std::string next_report = stop_sim();
    EXPECT_EQ(next.exit_status, 0) << next.err;
    EXPECT_TRUE(flash().substr(0x400000, image.size()) == image);
    EXPECT_TRUE(flash().substr(0x600000, image.size()) == image);
    EXPECT_TRUE(testkit::read_file(copy) == image);
    EXPECT_EQ(report_number(next_report, "monitor", "packet bytes"), 0) << next_report;
}

}  // namespace

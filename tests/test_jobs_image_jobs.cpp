// SPDX-License-Identifier: GPL-2.0-or-later
#include "jobs/image_jobs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include <cstdint>
#include <ostream>
#include <string>

#include "core/run_options.h"
#include "support/run_binary.h"

namespace {

using testing::HasSubstr;

RunOptions checks_off() {
    RunOptions r;
    r.size_checks = false;
    return r;
}

struct VerdictCase {
    int64_t offset;
    int64_t size;
    bool size_checks;
    ImageVerdict verdict;
};

const VerdictCase VERDICT_CASES[] = {
    {0, 0x200000, true, ImageVerdict::accept},
    {0, 0x200001, true, ImageVerdict::kernel_too_big},
    {0, 0x200001, false, ImageVerdict::accept},
    {0, 0x670000, false, ImageVerdict::accept},
    {0, 0x670001, false, ImageVerdict::kernel_beyond_transfer},  // never split at offset 0
    {0, 0x80000000, false, ImageVerdict::kernel_beyond_transfer},
    {0, 0x80000000, true, ImageVerdict::kernel_too_big},
    {0x200000, 0x670000, true, ImageVerdict::accept},
    {0x200000, 0x670001, true, ImageVerdict::split},
    {0x200000, 0xB00000, true, ImageVerdict::split},
    {0x200000, 0xB00001, true, ImageVerdict::romdisk_too_big},
    {0x200000, 0xB00001, false, ImageVerdict::split},
    {0xC00000, 0x670001, true, ImageVerdict::split},  // the rule follows the offset, not the keyword
    {0x1, 0x670001, true, ImageVerdict::split},
    {0x200000, 0x7FFFFFFF, false, ImageVerdict::split},
    {0x200000, 0x80000000, false, ImageVerdict::too_large},
    {0x80000000, 0x670001, true, ImageVerdict::split},  // high offsets are positive ones
    {0xFFFFFFFFFF, 0xB00001, true, ImageVerdict::romdisk_too_big},
};

TEST(ImageVerdict, AppliesTheRuleOfTheFlashPosition) {
    for (const VerdictCase& c : VERDICT_CASES) {
        const RunOptions options = c.size_checks ? RunOptions{} : checks_off();
        EXPECT_EQ(static_cast<int>(image_verdict(c.offset, c.size, options)), static_cast<int>(c.verdict))
            << std::hex << "offset 0x" << c.offset << " size 0x" << c.size << " checks " << c.size_checks;
    }
}

// Scripts may look for the first line; the rest says how to convert the file.
TEST(SrecRefusal, KeepsItsFirstLine) {
    EXPECT_TRUE(std::string(SREC_REFUSAL).starts_with("\n\tError:  This looks like an srec file.\n"));
}

// Runs against the real binary; a port that does not exist ends every run that
// passes the checks, so "Opening serial port" shows the image was accepted.
const std::string NO_PORT = "kelvane-no-such-port";
constexpr char ACCEPTED[] = "Opening serial port...";
constexpr char SPLIT[] = "\nRomdisk larger than 0x670000.  Splitting into:\n";

enum Outcome { flashed, split_and_flashed, refused, split_and_refused };

struct RunCase {
    const char* name;
    std::vector<std::string> switches;
    int64_t size;  // of a sparse image called "img"
    std::string target;
    Outcome outcome;
    std::string message;  // for a refusal; "IMG" stands for the image's path
};

void PrintTo(const RunCase& c, std::ostream* out) { *out << c.name; }

class ImageJobsRun : public testing::TestWithParam<RunCase> {};

TEST_P(ImageJobsRun, ReportsWhatTheChecksDecided) {
    const RunCase& c = GetParam();
    testkit::TempDir dir;
    const std::string image = dir.file("img");
    testkit::write_file(image, "");
    ASSERT_EQ(truncate(image.c_str(), c.size), 0);
    std::vector<std::string> args = c.switches;
    args.insert(args.end(), {"-t", dir.path(), "-s", NO_PORT, image, c.target});
    const testkit::RunResult r = run_kelvane(args);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    const bool splits = c.outcome == split_and_flashed || c.outcome == split_and_refused;
    const bool flashes = c.outcome == flashed || c.outcome == split_and_flashed;
    EXPECT_EQ(r.err.find(SPLIT) != std::string::npos, splits) << r.err;
    EXPECT_EQ(r.err.find(ACCEPTED) != std::string::npos, flashes) << r.err;
    if (!flashes) {
        std::string message = c.message;
        if (const size_t at = message.find("IMG"); at != std::string::npos) message.replace(at, 3, image);
        EXPECT_THAT(r.err, HasSubstr("\n" + message));
    }
}

const std::string KERNEL_TOO_BIG = "Error:  kernel 'IMG' is larger than 0x200000 bytes.  Aborting.";
const std::string ROMDISK_TOO_BIG = "Error:  romdisk 'IMG' is larger than 0xb00000 bytes.  Aborting.";
const std::string TOO_LARGE = "Error:  'IMG' is too large (2 GiB or more).  Aborting.";
// errno is cleared: the message ends the line.
const std::string KERNEL_BEYOND_TRANSFER =
    "Error:  kernel 'IMG' is larger than 0x670000 bytes, the most one transfer carries.  Aborting.\n\n";

INSTANTIATE_TEST_SUITE_P(
    Limits, ImageJobsRun,
    testing::Values(
        RunCase{"kernel_at_limit", {}, 0x200000, "kernel", flashed, ""},
        RunCase{"kernel_over_limit", {}, 0x200001, "kernel", refused, KERNEL_TOO_BIG},
        RunCase{"offset_zero_is_kernel", {}, 0x200001, "0x0", refused, KERNEL_TOO_BIG},
        RunCase{"kernel_unchecked", {"-C"}, 0x200001, "kernel", flashed, ""},
        RunCase{"romdisk_one_transfer", {}, 0x670000, "romdisk", flashed, ""},
        RunCase{"romdisk_split", {"-D"}, 0x670001, "romdisk", split_and_flashed, ""},
        RunCase{"romdisk_at_limit_split", {"-D"}, 0xB00000, "rootdisk", split_and_flashed, ""},
        RunCase{"romdisk_over_limit", {}, 0xB00001, "cramfs", refused, ROMDISK_TOO_BIG},
        RunCase{"romdisk_unchecked_split", {"-C", "-D"}, 0xB00001, "romdisk", split_and_flashed, ""},
        // Split first; the plan then finds the pieces far past the flash's end.
        RunCase{"high_offset_split", {}, 0x670001, "0x7ffe0000", split_and_refused,
                "Error:  'IMG.1' at 0x7ffe0000 reaches past the end of the flash (0x1000000).  Aborting."},
        RunCase{"huge_romdisk", {"-C", "-D"}, 0x80000000, "0x100000", refused, TOO_LARGE},
        // One transfer carries the kernel, whatever the size checks.
        RunCase{"largest_unchecked_kernel", {"-C"}, 0x670000, "kernel", flashed, ""},
        RunCase{"unchecked_kernel_beyond_transfer", {"-C"}, 0x670001, "kernel", refused, KERNEL_BEYOND_TRANSFER},
        RunCase{"huge_kernel", {"-C", "-D"}, 0x80000000, "0x0", refused, KERNEL_BEYOND_TRANSFER},
        RunCase{"pmon_guarded",
                {},
                0x10001,
                "pmon",
                refused,
                "Warning:  PMON overwrite detected by 'IMG'.  Aborting. (0x20000)\n"},
        RunCase{"pmon_unguarded", {"-D"}, 0x10001, "pmon", flashed, ""},
        // The guard judges the second piece of a split on its own.
        RunCase{"second_piece_guarded",
                {},
                0xA00001,
                "romdisk",
                split_and_refused,
                "Warning:  PMON overwrite detected by 'IMG.2'.  Aborting. (0x520000)\n"},
        RunCase{"second_piece_clear", {}, 0xA00000, "romdisk", split_and_flashed, ""},
        // The guard lets it pass; the plan has nothing to flash.
        RunCase{"empty_below_area", {}, 0, "0xC00000", refused, "Error:  'IMG' is empty; there is nothing to flash.  Aborting."},
        RunCase{
            "empty_above_area", {}, 0, "0xC80000", refused, "Warning:  PMON overwrite detected by 'IMG'.  Aborting.\n"},
        RunCase{"last_byte_in_area",
                {},
                0x80000,
                "0xB80001",
                refused,
                "Warning:  PMON overwrite detected by 'IMG'.  Aborting.\n"},
        RunCase{"invalid_offset", {}, 1, "0xZZ", refused, "Error:  invalid offset 'ZZ'"},
        RunCase{"empty_target", {}, 1, "", refused, "Error:  invalid offset ''"},
        RunCase{"offset_at_limit", {}, 1, "0x80000000", refused, "Error:  invalid offset '80000000'"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ImageJobsRun, RefusesSrecFilesByNameOnly) {
    const testkit::RunResult r = run_kelvane({"-s", NO_PORT, "/nonexistent/image.srec.gz", "romdisk"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, std::string("\n") + SREC_REFUSAL + "\n" + SREC_REFUSAL_END + "\n\n");

    testkit::TempDir dir;
    testkit::write_file(dir.file("image.SREC"), "data");
    const testkit::RunResult upper = run_kelvane({"-s", NO_PORT, dir.file("image.SREC"), "romdisk"});
    EXPECT_THAT(upper.err, HasSubstr(ACCEPTED));
}

// Only a regular file is an image: anything else ends the run at its check,
// before the port opens, and is never opened (a device's open alone may act).
TEST(ImageJobsRun, RefusesAnythingButARegularFile) {
    struct Case {
        const char* name;
        std::function<bool(const std::string& path)> make;
    };
    const Case cases[] = {
        {"fifo", [](const std::string& path) { return mkfifo(path.c_str(), 0600) == 0; }},
        {"directory", [](const std::string& path) { return mkdir(path.c_str(), 0700) == 0; }},
        {"device", [](const std::string& path) { return symlink("/dev/null", path.c_str()) == 0; }},
        {"socket",
         [](const std::string& path) {
             const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
             const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
             close(fd);
             return bound;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testkit::TempDir dir;
        const std::string path = dir.file("img");
        ASSERT_TRUE(c.make(path));
        const testkit::RunResult r = run_kelvane({"-s", NO_PORT, path, "romdisk"});
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err, "\n\nError:  '" + path + "' is not a regular file.  Aborting.\n\n");
    }
}

TEST(ImageJobsRun, ReportsAnImageWithoutStatus) {
    const testkit::RunResult r = run_kelvane({"-s", NO_PORT, "/nonexistent/rd.gz", "romdisk"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "\n\nError: unable to stat /nonexistent/rd.gz - No such file or directory\n\n");
}

}  // namespace

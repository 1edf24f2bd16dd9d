// SPDX-License-Identifier: GPL-2.0-or-later
// The ports a user can choose from, who holds one, and the hints that name them.
#include "serial/port_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/run_binary.h"
#include "testkit/pty.h"

namespace {

using testing::HasSubstr;
using testing::Not;

std::string own_command() {
    std::ifstream comm("/proc/self/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// The environment of the runs this test starts: KELVANE_PORT as given, or unset.
class PortVariable {
public:
    explicit PortVariable(const std::string* value) {
        if (value != nullptr)
            setenv("KELVANE_PORT", value->c_str(), 1);
        else
            unsetenv("KELVANE_PORT");
    }
    ~PortVariable() { unsetenv("KELVANE_PORT"); }
};

TEST(NaturalOrder, ComparesDigitRunsAsNumbers) {
    struct Case {
        const char* a;
        const char* b;
        bool less;
    };
    const Case cases[] = {
        {"/dev/ttyS2", "/dev/ttyS10", true},   {"/dev/ttyS10", "/dev/ttyS2", false},
        {"/dev/ttyACM0", "/dev/ttyS0", true},  {"/dev/ttyS0", "/dev/ttyUSB0", true},
        {"/dev/ttyUSB1", "/dev/ttyUSB1", false}, {"/dev/ttyUSB", "/dev/ttyUSB0", true},
        {"/dev/pts/007", "/dev/pts/8", true},  {"/dev/pts/0", "/dev/pts/00", false},
    };
    for (const Case& c : cases) EXPECT_EQ(natural_less(c.a, c.b), c.less) << c.a << " < " << c.b;
}

TEST(LockHolders, FindsTheLockersOfOneFileOnly) {
    const dev_t device = makedev(0, 0x1a);
    const std::string locks =
        "1: FLOCK  ADVISORY  WRITE 4321 00:1a:7 0 EOF\n"
        "1: -> FLOCK  ADVISORY  WRITE 999 00:1a:7 0 EOF\n"  // waiting, not holding
        "2: FLOCK  ADVISORY  WRITE 55 00:1a:70 0 EOF\n"     // another inode
        "3: POSIX  ADVISORY  READ 66 00:1b:7 0 EOF\n"       // another device
        "4: OFDLCK ADVISORY  WRITE -1 00:1a:7 0 EOF\n"      // no owner
        "5: POSIX  ADVISORY  WRITE 4321 00:1a:7 0 EOF\n"    // the same process again
        "6: POSIX  ADVISORY  WRITE 77 00:1a:7 0 EOF\n"
        "garbage\n";
    EXPECT_EQ(lock_holders(locks, device, 7), (std::vector<pid_t>{4321, 77}));
    EXPECT_TRUE(lock_holders("", device, 7).empty());
}

TEST(PortHolders, LeavesTheCallerOut) {
    testkit::PtyPair pty;
    ASSERT_EQ(flock(pty.slave(), LOCK_EX | LOCK_NB), 0);
    // This process holds and locks the slave: it is never its own holder (others
    // are named: PortChoice below).
    EXPECT_TRUE(port_holders(pty.slave_path().c_str()).empty());
    EXPECT_EQ(holders_text({{42, "minicom"}, {43, ""}}), "minicom (pid 42), pid 43");
}

TEST(Hints, TellWhatToDoAboutAPortThatCannotBeOpened) {
    testkit::PtyPair pty;
    errno = EIO;
    const std::string missing = open_failure_hint(ENOENT, "/dev/ttyUSB9");
    EXPECT_EQ(errno, EIO) << "a hint leaves errno to the message it goes with";
    EXPECT_THAT(missing, HasSubstr("kelvane -L"));

    struct stat status {};
    ASSERT_EQ(stat(pty.slave_path().c_str(), &status), 0);
    const std::string denied = open_failure_hint(EACCES, pty.slave_path().c_str());
    EXPECT_THAT(denied, HasSubstr("usermod -aG "));
    EXPECT_THAT(denied, HasSubstr("next login"));
    EXPECT_EQ(open_failure_hint(EIO, pty.slave_path().c_str()), "");

    EXPECT_THAT(port_in_use_hint(pty.slave_path().c_str()), HasSubstr("not shown"));
}

// -L and KELVANE_PORT through the real binary, on this test's pseudo-terminals.
class PortChoice : public testing::Test {
protected:
    testkit::TempDir dir;
    std::string image;
    void SetUp() override {
        image = dir.file("vmlinux");
        testkit::write_file(image, "kernel bytes");
    }
};

TEST_F(PortChoice, ListsThePortKelvanePortNamesWithItsHolder) {
    testkit::PtyPair held;
    testkit::PtyPair free_pty;
    free_pty.close_slave();
    for (const std::string& path : {held.slave_path(), free_pty.slave_path()}) {
        const std::string name = path.substr(5);  // as -s takes it
        for (const std::string& value : {name, path}) {
            const PortVariable variable(&value);
            const testkit::RunResult r = run_kelvane({"-L"});
            EXPECT_EQ(r.exit_status, 0) << r.err;
            std::string line;
            for (size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1)
                if (r.out.compare(at, name.size() + 1, name + " ") == 0) line = r.out.substr(at, end - at);
            ASSERT_NE(line, "") << r.out;
            EXPECT_THAT(line, HasSubstr(" pty "));
            if (path == held.slave_path())
                EXPECT_THAT(line, HasSubstr("in use by " + own_command() + " (pid " + std::to_string(getpid()) + ")"));
            else
                EXPECT_TRUE(line.ends_with(" free")) << line;
        }
    }
}

TEST_F(PortChoice, TakesTheDefaultPortFromKelvanePortAndLetsMinusSWin) {
    const std::string missing = "kelvane-no-such-port";
    const PortVariable variable(&missing);
    const testkit::RunResult from_variable = run_kelvane({image, "kernel"}, dir.path());
    EXPECT_THAT(from_variable.err, HasSubstr("Error: Unable to open port '/dev/kelvane-no-such-port'"));
    EXPECT_THAT(from_variable.err, Not(HasSubstr("Using port")));

    const testkit::RunResult with_s = run_kelvane({"-s", "kelvane-other-port", image, "kernel"}, dir.path());
    EXPECT_THAT(with_s.err, HasSubstr("Error: Unable to open port '/dev/kelvane-other-port'"));
}

TEST_F(PortChoice, NamesTheDefaultPortWhenNoneIsGiven) {
    const PortVariable variable(nullptr);
    // The image is missing, so the run ends before it opens the port.
    const testkit::RunResult r = run_kelvane({dir.file("absent"), "kernel"}, dir.path());
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(r.err.starts_with("\nUsing port /dev/ttyS0 (no -s or KELVANE_PORT given); kelvane -L lists the others\n"))
        << r.err;
}

// Each hint is one line right after the error's, before the blank line that ends it.
TEST_F(PortChoice, HintsFollowTheErrorsOfAPortThatCannotBeHad) {
    const testkit::RunResult missing = run_kelvane({"-s", "kelvane-no-such-port", image, "kernel"}, dir.path());
    EXPECT_THAT(missing.err, testing::ContainsRegex("\nError: Unable to open port '/dev/kelvane-no-such-port' - No "
                                                    "such file or directory\nHint:  [^\n]*kelvane -L[^\n]*\n\n$"));

    testkit::PtyPair pty;
    ASSERT_EQ(flock(pty.slave(), LOCK_EX | LOCK_NB), 0);
    const testkit::RunResult in_use = run_kelvane({"-s", pty.slave_path(), image, "kernel"}, dir.path());
    EXPECT_EQ(in_use.exit_status, 1);
    EXPECT_TRUE(in_use.err.ends_with("\nError:  port '" + pty.slave_path() +
                                     "' is in use by another program.  Aborting.\nHint:  held by " + own_command() +
                                     " (pid " + std::to_string(getpid()) + "); end it, or give another port with -s\n\n"))
        << in_use.err;
}

}  // namespace

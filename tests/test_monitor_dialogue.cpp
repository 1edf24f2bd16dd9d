// SPDX-License-Identifier: GPL-2.0-or-later
// Whole runs of the kelvane binary against a scripted monitor on a pty: the
// exact bytes the monitor receives and the standard error texts in order.
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "support/pty_test.h"
#include "support/run_binary.h"
#include "support/scripted_monitor.h"
#include "transfer/loader_upload.h"

namespace {

constexpr int RUN_LIMIT_SECONDS = 120;  // a whole run normally takes a few seconds

const std::string WAKE = "\r";
const std::string GETPMON = "\r\r\r";  // "\r\r", drain, "\r"
const std::string START = "g -e a0080274\r";
const std::string RESTORE = "$linux console=ttyS0,115200 init=/sbin/restore_defaults\r";

std::string upload() {
    std::string wire = "load\r";
    for (int i = 0; i < loader_srec_count; ++i) wire += std::string(loader_srec[i]) + '\x03';
    return wire + GETPMON;
}

struct Job {
    std::string file;  // its bytes
    std::string flash_command;
};

// What the monitor must receive for these jobs, up to the final wake-up.
std::string jobs_wire(const std::vector<Job>& jobs, bool load) {
    std::string wire = WAKE;
    for (size_t i = 0; i < jobs.size(); ++i) {
        wire += GETPMON;
        if (i == 0 && load) wire += upload();
        wire += START + xmodem_wire(jobs[i].file) + GETPMON + jobs[i].flash_command + "\r" + "y\r";
    }
    return wire + GETPMON;
}

// Empty when every text occurs in err in this order; else the first one missing.
std::string missing_in_order(const std::string& err, const std::vector<std::string>& texts) {
    size_t at = 0;
    for (const auto& text : texts) {
        const size_t found = err.find(text, at);
        if (found == std::string::npos) return text;
        at = found + text.size();
    }
    return "";
}

size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

struct DialogueRun {
    int exit_status = -1;
    std::string err;
    std::string received;
    std::vector<std::string> transfers;
    std::vector<std::string> flash_commands;
    int bad_packets = 0;
};

class DialogueTest : public PtyTest {
protected:
    // Runs kelvane with -s for the pty and args, the monitor playing script.
    DialogueRun run(std::vector<std::string> args, MonitorScript script = {}, int limit = RUN_LIMIT_SECONDS) {
        args.insert(args.begin(), {"-s", slave_path.substr(5)});  // "/dev/pts/N" -> "pts/N"
        const std::string err_path = dir.file("stderr.txt");
        ScriptedMonitor monitor(master_fd, std::move(script));
        testkit::Child kelvane = start_kelvane(args, dir.path(), err_path);
        DialogueRun result;
        result.exit_status = monitor.serve(kelvane, limit);
        result.err = testkit::read_file(err_path);
        result.received = monitor.received;
        result.transfers = monitor.transfers;
        result.flash_commands = monitor.flash_commands;
        result.bad_packets = monitor.bad_packets;
        return result;
    }

    std::string image(const std::string& name, long long size, unsigned seed = 3) {
        testkit::write_pattern_file(dir.file(name), size, seed);
        return dir.file(name);
    }

    testkit::TempDir dir;
};

// The texts of one job after the loader is in place, from the receiver's start.
std::vector<std::string> job_texts(const std::string& file, const std::string& total_kb) {
    return {"Sending xmodem start command...done\n",
            "Starting xmodem send - " + file + "...\n",
            "DONE --          \nElapsed time:  ",
            "Looking for PMON prompt...done\n",
            "Sending flash command...done\n",
            "\r -- [0k/" + total_kb + "k] |  0.00 KB/s |   0% | 00:00s ETA --",
            "\r -- [" + total_kb + "k/" + total_kb + "k] | ",
            "KB/s | 100% | DONE --          \nElapsed time:  "};
}

TEST_F(DialogueTest, OneJobUploadsTheLoaderSendsTheImageAndProgramsIt) {
    const std::string file = image("kernel.bin", 0x20000);
    const DialogueRun r = run({file, "kernel"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(r.received == jobs_wire({{testkit::read_file(file), "flash 80090000 20000 0"}}, true))
        << "received bytes differ";
    EXPECT_EQ(r.flash_commands, std::vector<std::string>{"flash 80090000 20000 0"});
    EXPECT_EQ(r.bad_packets, 0);

    std::vector<std::string> texts = {"Opening serial port...done\n",
                                      "Waiting for input from port (CTRL-C to exit)...done\n\n",
                                      "Looking for PMON prompt...done\n",
                                      "Sending etxack start command...done\n",
                                      "Starting etxack send (xmodem-load)...done\n\n",
                                      "Looking for PMON prompt...done\n"};
    // The completion line shows the whole size whatever the rate.
    for (auto& t : job_texts(file, "128")) texts.push_back(t);
    texts.push_back("Looking for PMON prompt...done\n");
    EXPECT_EQ(missing_in_order(r.err, texts), "") << r.err;
    EXPECT_EQ(r.err.find("Unzipping"), std::string::npos);
}

TEST_F(DialogueTest, TwoJobsUploadOnceAndStartEachMeterFromZero) {
    const std::string kernel = image("k.bin", 0x20001, 4);
    const std::string one = image("one.bin", 1);
    const DialogueRun r = run({kernel, "kernel", one, "romdisk"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    // 0x20001 bytes take two blocks; one byte takes one.
    const std::vector<Job> jobs = {{testkit::read_file(kernel), "flash 80090000 40000 0"},
                                   {testkit::read_file(one), "flash 80090000 20000 200000"}};
    EXPECT_TRUE(r.received == jobs_wire(jobs, true)) << "received bytes differ";
    EXPECT_EQ(count_of(r.received, "load\r"), 1u);
    EXPECT_EQ(r.transfers.size(), 2u);

    std::vector<std::string> texts = job_texts(kernel, "256");
    for (auto& t : job_texts(one, "128")) texts.push_back(t);
    EXPECT_EQ(missing_in_order(r.err, texts), "") << r.err;
    EXPECT_EQ(count_of(r.err, "Starting etxack send"), 1u);
}

TEST_F(DialogueTest, NoUploadWithX) {
    const std::string file = image("rd.bin", 300);
    const DialogueRun r = run({"-X", file, "romdisk"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(r.received == jobs_wire({{testkit::read_file(file), "flash 80090000 20000 200000"}}, false))
        << "received bytes differ";
    EXPECT_EQ(r.err.find("etxack"), std::string::npos);
}

TEST_F(DialogueTest, RestoreAloneSeeksThePromptOnceThenUnzipsAndEchoesUpToHardReset) {
    const DialogueRun r = run({"-R"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(r.received == WAKE + GETPMON + "unzip\r" + RESTORE) << r.received;
    EXPECT_EQ(
        missing_in_order(r.err, {"Waiting for input from port (CTRL-C to exit)...done\n\n",
                                 "Looking for PMON prompt...done\n", "Unzipping kernel...done\n",
                                 "Restoring defaults...\n", "$linux console=ttyS0,115200 init=/sbin/restore_defaults\n",
                                 "Linux booting\nRestoring factory defaults\nHard reset\n", "\nkelvane completed\n"}),
        "")
        << r.err;
    EXPECT_EQ(r.err.find("never read"), std::string::npos);
    EXPECT_EQ(count_of(r.err, "Looking for PMON prompt"), 1u);
}

TEST_F(DialogueTest, RestartAfterTheJobs) {
    const std::string file = image("rd.bin", 300);
    const DialogueRun r = run({"-r", file, "romdisk"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(r.received ==
                jobs_wire({{testkit::read_file(file), "flash 80090000 20000 200000"}}, true) + "unzip\r" + "$linux\r")
        << "received bytes differ";
    EXPECT_EQ(missing_in_order(r.err, {"Looking for PMON prompt...done\n", "Unzipping kernel...done\n",
                                       "Restarting system...done\n"}),
              "")
        << r.err;
}

TEST_F(DialogueTest, RestoreWinsOverRestart) {
    const std::string file = image("rd.bin", 300);
    const DialogueRun r = run({"-R", "-r", file, "romdisk"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(r.received ==
                jobs_wire({{testkit::read_file(file), "flash 80090000 20000 200000"}}, true) + "unzip\r" + RESTORE)
        << "received bytes differ";
    EXPECT_EQ(r.err.find("Restarting"), std::string::npos);
    EXPECT_NE(r.err.find("\nkelvane completed\n"), std::string::npos);
}

TEST_F(DialogueTest, KernelAndSplitRomdiskGoAsThreeTransfersAndThePiecesAreRemoved) {
    const std::string kernel = image("vmlinux.bin", 0x5A3C1, 8);
    const long long size = 0x670001;  // one byte over what one transfer carries
    const std::string file = image("big.rd", size, 9);
    const DialogueRun r = run({"-t", dir.path(), kernel, "kernel", file, "romdisk"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    const std::string bytes = testkit::read_file(file);
    const std::vector<Job> jobs = {{testkit::read_file(kernel), "flash 80090000 60000 0"},
                                   {bytes.substr(0, 0x500000), "flash 80090000 500000 200000"},
                                   {bytes.substr(0x500000), "flash 80090000 180000 700000"}};
    EXPECT_TRUE(r.received == jobs_wire(jobs, true)) << "received bytes differ";
    EXPECT_EQ(r.flash_commands,
              (std::vector<std::string>{jobs[0].flash_command, jobs[1].flash_command, jobs[2].flash_command}));
    const std::string piece1 = dir.file("big.rd.1"), piece2 = dir.file("big.rd.2");
    struct stat status;
    EXPECT_NE(stat(piece1.c_str(), &status), 0);
    EXPECT_NE(stat(piece2.c_str(), &status), 0);
    EXPECT_EQ(missing_in_order(
                  r.err, {"Starting xmodem send - " + kernel + "...\n", "Starting xmodem send - " + piece1 + "...\n",
                          "Starting xmodem send - " + piece2 + "...\n", "Cleanup removing " + piece1 + " ...done\n",
                          "Cleanup removing " + piece2 + " ...done\n"}),
              "")
        << r.err;
}

TEST_F(DialogueTest, CaptureLogHoldsCommandsButNoLoaderLinesOrImageBytes) {
    // Printable image bytes, so the log's filter alone could not hide them.
    std::string text;
    while (text.size() < 600) text += "IMAGEDATA-";
    testkit::write_file(dir.file("text.rd"), text);
    const DialogueRun r = run({"-l", dir.file("text.rd"), "romdisk"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    const std::string log = testkit::read_file(dir.file("capture.log"));
    EXPECT_EQ(missing_in_order(log, {"load\n", "g -e a0080274\n", "flash 80090000 20000 200000\n", "y\n",
                                     "Programming block 200000\n", "PMON> \n"}),
              "")
        << log;
    EXPECT_EQ(log.find("S31A"), std::string::npos);
    EXPECT_EQ(log.find(loader_srec[0]), std::string::npos);
    EXPECT_EQ(log.find("IMAGEDATA"), std::string::npos);
    for (unsigned char c : log) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << int(c);
}

TEST_F(DialogueTest, ProgressStopsAtTheFlashSizeWhenMoreBlocksAreReported) {
    const std::string file = image("rd.bin", 300);
    MonitorScript script;
    script.programming = [](const FlashRequest& request) { return programming_blocks(request, 3); };
    const DialogueRun r = run({file, "romdisk"}, script);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(count_of(r.err, "\r -- [128k/128k] | "), 3u + 1u) << r.err;  // three blocks and the completion
    EXPECT_EQ(r.err.find("[256k/"), std::string::npos);
}

// "Error" anywhere in a line makes it an error line, beside a block's progress too.
TEST_F(DialogueTest, LineWithProgressAndErrorIsAnErrorLine) {
    const std::string file = image("rd.bin", 300);
    MonitorScript script;
    script.programming = [](const FlashRequest&) {
        return std::string("\r\nProgramming block 200000 (Error count 1)\r\nPMON> ");
    };
    const DialogueRun r = run({file, "romdisk"}, script);
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_NE(r.err.find("\nWARNING:  'Programming block 200000 (Error count 1)'\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\nError:  flash programming of '" + file + "' reported errors.  Aborting.\n\n"),
              std::string::npos)
        << r.err;
}

TEST_F(DialogueTest, ProgrammingErrorIsEchoedThenEndsTheRunBeforeAnythingElse) {
    const std::string first = image("k.bin", 0x20001);
    const std::string second = image("rd.bin", 300);
    MonitorScript script;
    // A prompt inside an "Error" line does not end the watch: the blocks after it still count.
    script.programming = [](const FlashRequest&) {
        return std::string(
            "\r\nProgramming block 0\r\nError: verify failed PMON> \r\nProgramming block 20000\r\n"
            "PMON> ");
    };
    const DialogueRun r = run({"-r", first, "kernel", second, "romdisk"}, script);
    EXPECT_EQ(r.exit_status, 1) << r.err;
    // Nothing after the first job's confirmation: no second transfer, no boot.
    const std::string whole = jobs_wire({{testkit::read_file(first), "flash 80090000 40000 0"}}, true);
    EXPECT_TRUE(r.received == whole.substr(0, whole.size() - GETPMON.size())) << "received bytes differ";
    EXPECT_EQ(
        missing_in_order(r.err, {"\r -- [128k/256k]", "\nWARNING:  'Error: verify failed PMON> '\n",
                                 "\r -- [256k/256k]", "100% | DONE --          \nElapsed time:  ",
                                 "\nError:  flash programming of '" + first + "' reported errors.  Aborting.\n\n"}),
        "")
        << r.err;
    EXPECT_EQ(r.err.find("Unzipping"), std::string::npos);
}

// -V after the programming watch: a monitor that does not run the verify
// entry gives no flash CRC-32, and the run ends there, before the next image
// or a boot. The request is never sent without the receiver's offer.
TEST_F(DialogueTest, VerifyWithoutAFlashCrcEndsTheRunBeforeTheNextImage) {
    const std::string first = image("k.bin", 0x20001);
    const std::string second = image("rd.bin", 300);
    const DialogueRun r = run({"-V", "-r", first, "kernel", second, "romdisk"});
    EXPECT_EQ(r.exit_status, 1) << r.err;
    const std::string whole = jobs_wire({{testkit::read_file(first), "flash 80090000 40000 0"}}, true);
    EXPECT_TRUE(r.received == whole.substr(0, whole.size() - GETPMON.size()) + "g -e a0080240\r")
        << "received bytes differ";
    EXPECT_EQ(r.transfers.size(), 1u);
    EXPECT_EQ(missing_in_order(r.err, {"100% | DONE --          \nElapsed time:  ",
                                       "\nVerifying flash...\nError:  no flash CRC-32 came back for '" + first +
                                           "'.  Aborting.\n\n"}),
              "")
        << r.err;
    EXPECT_EQ(r.err.find("Unzipping"), std::string::npos);
}

// A flash command the monitor took otherwise (its echo shows a changed digit)
// is declined with "n": confirming it would program from the wrong place, the
// wrong size or to the wrong place. A monitor that echoed the earlier commands
// must echo this one too: a missing echo is damage, declined the same way. A
// monitor that never echoes cannot be judged, and the run goes on.
TEST_F(DialogueTest, FlashCommandIsConfirmedOnlyWhenTheEchoShowsItAsSent) {
    struct Case {
        const char* name;
        std::function<std::string(const std::string&)> echo;
        int exit_status;
        std::string answer;   // what follows the flash command
        std::string message;  // in standard error, after "Sending flash command..."
    };
    const auto changed = [](const std::string& from, const std::string& to) {
        return [from, to](const std::string& line) {
            const size_t at = line.find(from);
            return line.rfind("flash", 0) == 0 && at != std::string::npos
                       ? line.substr(0, at) + to + line.substr(at + from.size())
                       : line;
        };
    };
    const Case cases[] = {
        {"a digit of the address", changed("80090000", "80098000"), 1, "n\r",
         "\nError:  the monitor took the flash command as 'flash 80098000 20000 200000'.  Aborting.\n\n"},
        {"a digit of the offset", changed(" 200000", " 280000"), 1, "n\r",
         "\nError:  the monitor took the flash command as 'flash 80090000 20000 280000'.  Aborting.\n\n"},
        {"a character lost", changed("20000 ", "2000 "), 1, "n\r",
         "\nError:  the monitor took the flash command as 'flash 80090000 2000 200000'.  Aborting.\n\n"},
        {"no echo", [](const std::string&) { return std::string(); }, 0, "y\r", "done\n"},
        // A line that begins with the command's word is the monitor's own text, not its echo.
        {"no echo, but \"loading...\" after load",
         [](const std::string& line) { return line == "load" ? std::string("loading...") : std::string(); }, 0, "y\r",
         "done\n"},
        {"a damaged first word from a monitor that echoed load",
         [](const std::string& line) { return line.rfind("flash", 0) == 0 ? "fl\x01sh" + line.substr(5) : line; }, 1,
         "n\r", "\nError:  the monitor did not echo the flash command.  Aborting.\n\n"},
        {"noise before it", [](const std::string& line) { return line.rfind("flash", 0) == 0 ? "~" + line : line; }, 1,
         "n\r", "\nError:  the monitor did not echo the flash command.  Aborting.\n\n"},
        {"no echo of flash alone", [](const std::string& line) { return line.rfind("flash", 0) == 0 ? "" : line; }, 1,
         "n\r", "\nError:  the monitor did not echo the flash command.  Aborting.\n\n"},
        {"a leftover prompt and a NUL before it",
         [](const std::string& line) { return line.rfind("flash", 0) == 0 ? std::string("PMON> \0", 7) + line : line; },
         0, "y\r", "done\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = image("rd.bin", 300);
        MonitorScript script;
        script.echo = c.echo;
        const DialogueRun r = run({"-r", file, "romdisk"}, script);
        EXPECT_EQ(r.exit_status, c.exit_status) << r.err;
        std::string wire = jobs_wire({{testkit::read_file(file), "flash 80090000 20000 200000"}}, true);
        wire = wire.substr(0, wire.rfind("y\r" + GETPMON)) + c.answer;
        if (c.exit_status == 0) wire += GETPMON + "unzip\r" + "$linux\r";
        EXPECT_TRUE(r.received == wire) << "received bytes differ";
        EXPECT_NE(r.err.find("Sending flash command..." + c.message), std::string::npos) << r.err;
    }
}

// Without the upload (-X), the start command's echo shows that the monitor
// echoes; it must echo the flash command then too.
TEST_F(DialogueTest, WithXTheStartCommandsEchoMakesTheFlashEchoDue) {
    const std::string file = image("rd.bin", 300);
    MonitorScript script;
    script.echo = [](const std::string& line) { return line.rfind("flash", 0) == 0 ? std::string() : line; };
    const DialogueRun r = run({"-X", file, "romdisk"}, script);
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_TRUE(r.received.ends_with("flash 80090000 20000 200000\rn\r")) << "received bytes differ";
    EXPECT_TRUE(r.err.ends_with("\nError:  the monitor did not echo the flash command.  Aborting.\n\n")) << r.err;
}

// Fewer "Programming block" lines than the flash size holds blocks: the monitor
// did not program what was asked (it may have taken a damaged "y" as no). The
// run ends like a reported programming error: no further image, no boot.
TEST_F(DialogueTest, TooFewProgrammedBlocksEndTheRunBeforeAnythingElse) {
    struct Case {
        const char* name;
        std::string output;  // after "y"
        int reported;
    };
    const Case cases[] = {
        {"one block of two", "\r\nProgramming block 0\r\nPMON> ", 1},
        {"nothing programmed", "\r\nNot programmed.\r\nPMON> ", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string first = image("k.bin", 0x20001);
        const std::string second = image("rd.bin", 300);
        MonitorScript script;
        script.programming = [&c](const FlashRequest&) { return c.output; };
        const DialogueRun r = run({"-r", first, "kernel", second, "romdisk"}, script);
        EXPECT_EQ(r.exit_status, 1) << r.err;
        const std::string whole = jobs_wire({{testkit::read_file(first), "flash 80090000 40000 0"}}, true);
        EXPECT_TRUE(r.received == whole.substr(0, whole.size() - GETPMON.size())) << "received bytes differ";
        EXPECT_EQ(missing_in_order(r.err, {"100% | DONE --          \nElapsed time:  ",
                                           "\nError:  the monitor reported " + std::to_string(c.reported) +
                                               " of 2 blocks programmed for '" + first + "'.  Aborting.\n\n"}),
                  "")
            << r.err;
        EXPECT_EQ(r.err.find("WARNING"), std::string::npos);
        EXPECT_EQ(r.err.find("Unzipping"), std::string::npos);
    }
}

// The receiver this run uploaded must report the CRC-32 of what it stored, and
// it must be the sender's; otherwise nothing is flashed. A receiver that was
// already in RAM (-X) need not report one, but what it reports is checked.
TEST_F(DialogueTest, ImageIsFlashedOnlyWhenTheReceiversCrcMatchesWhatWasSent) {
    struct Case {
        const char* name;
        bool upload;
        std::function<std::string(const std::string&)> verdict;
        std::string message;  // empty: flashed
    };
    const auto with_line = [](std::string line) {
        return [line](const std::string&) { return "\r\nDownload Successful\r\n" + line; };
    };
    // What the receiver reports when one byte of the file reached RAM changed.
    const auto damaged = [](const std::string& stored) {
        std::string changed = stored;
        changed[7] ^= 0x20;
        return receiver_verdict(changed);
    };
    const std::string no_line = "\r\nDownload Successful\r\n";
    // The file is 300 bytes: three packets, 384 bytes stored.
    const Case cases[] = {
        {"the report matches", true, receiver_verdict, ""},
        {"the CRC differs", true, damaged, "' arrived damaged (CRC-32 "},
        {"the count differs", true,
         [](const std::string& stored) { return receiver_verdict(stored + std::string(128, '\x1a')); },
         "' arrived damaged (CRC-32 "},
        {"the line was lost", true, with_line(""), "no CRC-32 came back for '"},
        {"the line lost a character", true, with_line("CRC32 0123456 00000180\r\n"), "no CRC-32 came back for '"},
        {"the line's tag was damaged", true, with_line("CRD32 01234567 00000180\r\n"), "no CRC-32 came back for '"},
        {"-X: a receiver that reports nothing", false, with_line(""), ""},
        {"-X: a report that matches", false, receiver_verdict, ""},
        {"-X: a report that differs", false, damaged, "' arrived damaged (CRC-32 "},
        {"-X: a report that cannot be read", false, with_line("CRC32 0123456z 00000180\r\n"),
         "no CRC-32 came back for '"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = image("rd.bin", 300);
        MonitorScript script;
        script.verdict = c.verdict;
        std::vector<std::string> args = {file, "romdisk"};
        if (!c.upload) args.insert(args.begin(), "-X");
        const DialogueRun r = run(args, script);
        const std::string whole = jobs_wire({{testkit::read_file(file), "flash 80090000 20000 200000"}}, c.upload);
        if (c.message.empty()) {
            EXPECT_EQ(r.exit_status, 0) << r.err;
            EXPECT_TRUE(r.received == whole) << "received bytes differ";
            continue;
        }
        EXPECT_EQ(r.exit_status, 1) << r.err;
        // Nothing after the wake-up that follows the transfer: no flash command.
        EXPECT_TRUE(r.received == whole.substr(0, whole.find("flash "))) << "received bytes differ";
        EXPECT_TRUE(r.flash_commands.empty());
        EXPECT_NE(r.err.find("Looking for PMON prompt...done\n\nError:  "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(file + "'"), std::string::npos) << r.err;
        // errno is cleared: no system error text after the message.
        EXPECT_TRUE(r.err.ends_with(".  Aborting.\n\n")) << r.err;
    }
}

// The figures in the damage message: the handheld's CRC, then the sender's.
TEST_F(DialogueTest, DamageMessageGivesTheHandheldsCrcThenTheSent) {
    const std::string file = image("rd.bin", 100);
    MonitorScript script;
    script.verdict = [](const std::string&) {
        return std::string("\r\nDownload Successful\r\nCRC32 0badf00d 00000080\r\n");
    };
    const DialogueRun r = run({file, "romdisk"}, script);
    EXPECT_EQ(r.exit_status, 1) << r.err;
    std::string sent = testkit::read_file(file);
    sent.resize(128, '\x1a');
    char expected[64];
    snprintf(expected, sizeof expected, "(CRC-32 0badf00d, sent %08lx).  Aborting.\n\n",
             crc32(0, reinterpret_cast<const Bytef*>(sent.data()), static_cast<uInt>(sent.size())));
    EXPECT_NE(r.err.find("\nError:  '" + file + "' arrived damaged " + expected), std::string::npos) << r.err;
}

// A closed standard error (kelvane ... 2>&1 | head, the pager gone) drops the
// text; the flash goes on and ends as it would.
TEST_F(DialogueTest, AClosedStandardErrorEndsNothing) {
    const std::string file = image("rd.bin", 300);
    std::vector<std::string> args = {"-s", slave_path.substr(5), file, "romdisk"};
    ScriptedMonitor monitor(master_fd, {});
    // As a shell starts it: SIGPIPE at its default action, whatever started this test.
    const auto inherited = std::signal(SIGPIPE, SIG_DFL);
    testkit::Child kelvane(
        {.program = KELVANE_BINARY, .args = args, .cwd = dir.path(), .err = testkit::Stream::pipe()});
    std::signal(SIGPIPE, inherited);
    kelvane.err().reset();  // nobody reads it any more
    EXPECT_EQ(monitor.serve(kelvane, RUN_LIMIT_SECONDS), 0);
    EXPECT_TRUE(monitor.received == jobs_wire({{testkit::read_file(file), "flash 80090000 20000 200000"}}, true))
        << "received bytes differ";
}

// Text from the line reaches the user's terminal shown, never obeyed: a
// device (or noise) that sends escape sequences cannot clear the screen,
// retitle the window or hide the messages around it.
TEST_F(DialogueTest, DeviceTextIsShownWithItsControlBytesAsHex) {
    struct Case {
        const char* name;
        std::vector<std::string> args;  // before the image and its target
        MonitorScript script;
        std::string shown;
    };
    MonitorScript warning;
    warning.programming = [](const FlashRequest& r) {
        return "\r\nError: \x1b[2Jverify\x07 failed\r\n" + programming_blocks(r, r.size / 0x20000);
    };
    MonitorScript restore;
    restore.restore_output =
        "\x1b]0;owned\x07"
        "booting\r\nHard reset\r\n";
    MonitorScript echo;
    echo.echo = [](const std::string& line) {
        return line.starts_with("flash") ? "flash 80090000 2\x1b[8m0000 200000" : line;
    };
    const Case cases[] = {
        {"the programming WARNING", {}, warning, "\nWARNING:  'Error: \\x1b[2Jverify\\x07 failed'\n"},
        {"the restore echo", {"-R"}, restore, "\n\\x1b]0;owned\\x07booting\nHard reset\n"},
        {"the flash-echo error",
         {},
         echo,
         "\nError:  the monitor took the flash command as 'flash 80090000 2\\x1b[8m0000 200000'.  Aborting.\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.args;
        args.push_back(image("rd.bin", 300));
        args.push_back("romdisk");
        const DialogueRun r = run(args, c.script);
        EXPECT_NE(r.err.find(c.shown), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\x07'), std::string::npos) << r.err;
    }
}

// The file sent is the file checked: the size limits, the split and the
// overwrite guard judged it, and the flash command's size is its checked
// size. A file that changes after its check, before the receiver is started,
// while it is opened or read, or after the transfer, is never flashed.
TEST_F(DialogueTest, AFileThatChangedSinceItsCheckIsNeverFlashed) {
    struct Case {
        const char* name;
        const char* when;  // the command whose echo (or, for "EOT", the receiver's verdict) changes the file
        std::function<void(const std::string& file)> change;
        bool receiver_started;
    };
    const auto replace_by = [](long long size) {
        return [size](const std::string& file) {
            testkit::write_pattern_file(file + ".new", size, 5);
            ASSERT_EQ(rename((file + ".new").c_str(), file.c_str()), 0);
        };
    };
    const auto rewrite_in_place = [](const std::string& file) {
        std::string bytes = testkit::read_file(file);
        bytes[0] ^= 1;
        testkit::write_file(file, bytes);
    };
    const Case cases[] = {
        // For 0xB00000 the guard passed 64 KiB; 0x180000 bytes reach the monitor's area.
        {"replaced by a larger file while the receiver is uploaded", "load", replace_by(0x180000), false},
        {"cut short when the receiver starts", "g -e",
         [](const std::string& f) { ASSERT_EQ(truncate(f.c_str(), 100), 0); }, true},
        {"rewritten in place after the transfer", "EOT", rewrite_in_place, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = image("rd.bin", 0x10000);
        const std::string when = c.when;
        MonitorScript script;
        script.echo = [&](const std::string& line) {
            if (line.starts_with(when)) c.change(file);
            return line;
        };
        script.verdict = [&](const std::string& stored) {
            if (when == "EOT") c.change(file);
            return receiver_verdict(stored);
        };
        const DialogueRun r = run({file, "0xb00000"}, script);
        EXPECT_EQ(r.exit_status, 1) << r.err;
        EXPECT_TRUE(r.err.ends_with("\nError:  '" + file + "' changed since it was checked.  Aborting.\n\n")) << r.err;
        EXPECT_TRUE(r.flash_commands.empty());
        EXPECT_EQ(r.received.find(START) != std::string::npos, c.receiver_started);
    }
}

// A file whose size says nothing of its content (/proc reports 0) has nothing
// to flash by its checked size: it is refused before the port is opened.
TEST_F(DialogueTest, AFileWhoseSizeSaysNothingOfItsContentIsNeverFlashed) {
    const DialogueRun r = run({"/proc/self/status", "romdisk"});
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_TRUE(r.err.ends_with("\nError:  '/proc/self/status' is empty; there is nothing to flash.  Aborting.\n\n"))
        << r.err;
    EXPECT_TRUE(r.flash_commands.empty());
    EXPECT_TRUE(r.transfers.empty());
}

TEST(DialoguePort, MissingDeviceEndsTheRun) {
    testkit::TempDir dir;
    const testkit::RunResult r = run_kelvane({"-R", "-s", "kelvane-no-such-port"}, dir.path());
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("Opening serial port...\nError: Unable to open port '/dev/kelvane-no-such-port'"),
              std::string::npos)
        << r.err;
}

}  // namespace

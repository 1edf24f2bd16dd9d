// SPDX-License-Identifier: GPL-2.0-or-later
// The simulated handheld through its own line, driven by a scripted host.
#include "flash_store.h"
#include "hardware.h"
#include "sim/sim_process.h"
#include "srecord.h"
#include "testkit/files.h"
#include "testkit/process.h"

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

constexpr int REPLY_MS = 5000;  // generous: the sanitizer build is slow to start
const std::string PROMPT = "PMON> ";

std::string record(char type, uint32_t address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> bytes{static_cast<uint8_t>(4 + data.size() + 1)};
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(address >> shift));
    bytes.insert(bytes.end(), data.begin(), data.end());
    bytes.push_back(srecord_checksum(bytes));
    std::string text = {'S', type};
    char hex[3];
    for (uint8_t b : bytes) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        text += hex;
    }
    return text;
}

std::string s3_record(uint32_t address, const std::vector<uint8_t>& data) { return record('3', address, data); }
std::string s7_record(uint32_t address) { return record('7', address, {}); }

std::vector<uint8_t> little_endian_words(const std::vector<uint32_t>& words) {
    std::vector<uint8_t> bytes;
    for (uint32_t w : words)
        for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<uint8_t>(w >> (8 * k)));
    return bytes;
}

// The programs below are put together from these pieces, hand-assembled MIPS32
// (little-endian words); every branch is relative, so a piece works wherever
// it stands. t0 holds the UART's base throughout; t1 to t4 are scratch.
using Words = std::vector<uint32_t>;

Words program(std::initializer_list<Words> pieces) {
    Words words;
    for (const Words& piece : pieces) words.insert(words.end(), piece.begin(), piece.end());
    return words;
}

const Words UART_BASE = {0x3c08ac00};  // lui t0, 0xac00
const Words RETURN = {
    0x03e00008,  // jr ra
    0x00000000,  // nop
};
// Waits until line status shows a received byte.
const Words WAIT_FOR_BYTE = {
    0x91090015,  // wait: lbu   t1, 0x15(t0)     line status
    0x31290001,  //       andi  t1, t1, 1        data ready?
    0x1120fffd,  //       beqz  t1, wait
    0x00000000,  //       nop
};
// Echoes every byte received until it has echoed 'q'.
const Words ECHO_UNTIL_Q = program({
    WAIT_FOR_BYTE,
    {
        0x910a0010,  //       lbu   t2, 0x10(t0)     the byte
        0xa10a0010,  //       sb    t2, 0x10(t0)     echoed
        0x240b0071,  //       li    t3, 'q'
        0x154bfff8,  //       bne   t2, t3, wait     (the wait above)
        0x00000000,  //       nop
    },
});

// Sets the UART's divisor (at most 0xFF) and leaves line control at 8N1.
Words set_divisor(uint8_t divisor) {
    return {
        0x24090083,             // li t1, 0x83
        0xa1090013,             // sb t1, 0x13(t0)      line control: DLAB, 8N1
        0x24090000u | divisor,  // li t1, divisor
        0xa1090010,             // sb t1, 0x10(t0)      divisor low
        0xa1000011,             // sb zero, 0x11(t0)    divisor high
        0x24090003,             // li t1, 3
        0xa1090013,             // sb t1, 0x13(t0)      line control: 8N1
    };
}

// Sends one character.
Words say(char c) {
    return {
        0x24090000u | static_cast<uint8_t>(c),  // li t1, c
        0xa1090010,                             // sb t1, 0x10(t0)
    };
}

// Echoes every byte received on the UART until it has echoed 'q', then returns.
const Words ECHO_PROGRAM = program({UART_BASE, ECHO_UNTIL_Q, RETURN});
// Jumps to an address where nothing is mapped.
const Words WILD_PROGRAM = {
    0x3c08be00,  // lui t0, 0xbe00
    0x01000008,  // jr  t0
    0x00000000,  // nop
};
// Moves the UART to divisor 1 (921600 bit/s), says '!', echoes until 'q',
// moves back to divisor 8 (115200), waits for a byte, says '>' and returns.
const Words FAST_ECHO_PROGRAM = program({
    UART_BASE,
    set_divisor(1),
    say('!'),
    ECHO_UNTIL_Q,
    set_divisor(8),
    WAIT_FOR_BYTE,
    {0x910a0010},  // lbu t2, 0x10(t0)     any byte will do
    say('>'),
    RETURN,
});
// Moves the UART to divisor 1 and returns without moving it back.
const Words LEAVE_FAST_PROGRAM = program({UART_BASE, set_divisor(1), RETURN});
// Echoes until 'q' like ECHO_PROGRAM, but counts 5000 down (15,000
// instructions) between seeing a byte and taking it, and says '!' first when
// line status then shows an overrun.
const Words SLOW_ECHO_PROGRAM = program({
    UART_BASE,
    WAIT_FOR_BYTE,
    {
        0x240c1388,  //       li    t4, 5000
        0x258cffff,  // work: addiu t4, t4, -1
        0x1580fffe,  //       bnez  t4, work
        0x00000000,  //       nop
        0x91090015,  //       lbu   t1, 0x15(t0)     line status again
        0x31290002,  //       andi  t1, t1, 2        overrun?
        0x11200003,  //       beqz  t1, take
        0x00000000,  //       nop
        0x240a0021,  //       li    t2, '!'
        0xa10a0010,  //       sb    t2, 0x10(t0)
        0x910a0010,  // take: lbu   t2, 0x10(t0)
        0xa10a0010,  //       sb    t2, 0x10(t0)     echoed
        0x240b0071,  //       li    t3, 'q'
        0x154bffee,  //       bne   t2, t3, wait     (WAIT_FOR_BYTE)
        0x00000000,  //       nop
    },
    RETURN,
});
constexpr uint32_t PROGRAM_ADDRESS = 0xA0100000;

// Sends the byte it reads at address, or stores 0 there first when `store`.
Words peek_program(uint32_t address, bool store) {
    const uint32_t high = (address + 0x8000) >> 16;  // lbu adds its offset signed
    const uint32_t low = address & 0xFFFF;
    const Words store_zero = {0xa1200000 | low};  // sb zero, low(t1)
    return program({
        UART_BASE,
        {0x3c090000 | high},  // lui t1, high
        store ? store_zero : Words{},
        {
            0x912a0000 | low,  // lbu t2, low(t1)
            0xa10a0010,        // sb t2, 0x10(t0)     sent
        },
        RETURN,
    });
}

// Sets the speed of the host's side of the line, as kelvane does on its descriptor.
void set_host_speed(const std::string& tty, speed_t speed) {
    const int fd = open(tty.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    close(fd);
}

class Handheld : public testing::Test {
protected:
    void start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"--flash", dir.file("flash.bin"), "--report", dir.file("report.txt")};
        args.insert(args.end(), extra.begin(), extra.end());
        sim = std::make_unique<SimProcess>(args, dir.file("sim.log"));
        host = std::make_unique<HostLine>(sim->tty());
    }
    std::string command(const std::string& text) {
        host->send(text + "\r");
        return host->read_until(PROMPT, REPLY_MS);
    }
    // Loads records; the answer byte of each.
    std::string load(const std::vector<std::string>& records) {
        host->send("load\r");
        host->read_until("ETX\r\n", REPLY_MS);
        std::string answers;
        for (const std::string& r : records) {
            host->send(r + "\x03");
            answers += read_answer();
        }
        return answers;
    }
    // Loads a program at PROGRAM_ADDRESS, to start there; the answer of each record.
    std::string load_program(const Words& words) {
        return load({s3_record(PROGRAM_ADDRESS, little_endian_words(words)), s7_record(PROGRAM_ADDRESS)});
    }
    // The next ACK or NAK; '?' when none comes.
    char read_answer() {
        for (;;) {
            const int b = host->read_byte(REPLY_MS);
            if (b < 0) return '?';
            if (b == ACK || b == NAK) return static_cast<char>(b);
        }
    }
    std::string stop_and_report() {
        EXPECT_EQ(sim->stop(), 0);
        return testkit::read_file(dir.file("report.txt"));
    }

    testkit::TempDir dir;
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<HostLine> host;
};

TEST_F(Handheld, AnswersEachCarriageReturnWithAPromptAndEchoesWhatIsTyped) {
    start();
    EXPECT_EQ(command(""), "\r\nPMON> ");
    EXPECT_EQ(command("fop\bo"), "fop\b \bo\r\nfoo: Command not found\r\nPMON> ");
    EXPECT_EQ(command("g a0080274"), "g a0080274\r\nusage: g -e ADDR\r\nPMON> ");
}

// The host finds its port as a serial driver hands one over, not made raw
// for it: it must set what it needs itself.
TEST_F(Handheld, TheLineStartsWithASerialDriversDefaults) {
    sim = std::make_unique<SimProcess>(std::vector<std::string>{"--flash", dir.file("flash.bin")}, dir.file("sim.log"));
    const testkit::Fd fd(open(sim->tty().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_GE(fd.get(), 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd.get(), &t), 0);
    EXPECT_EQ(t.c_iflag, tcflag_t{ICRNL | IXON});
    EXPECT_EQ(t.c_oflag, tcflag_t{OPOST | ONLCR});
    EXPECT_EQ(t.c_lflag, tcflag_t{ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE | IEXTEN});
    EXPECT_EQ(t.c_cflag & (CSIZE | CREAD | HUPCL | PARENB | CSTOPB), tcflag_t{CS8 | CREAD | HUPCL});
    EXPECT_EQ(cfgetospeed(&t), speed_t{B38400});
    EXPECT_EQ(t.c_cc[VMIN], 1);
}

TEST_F(Handheld, LinksItsLineWhereAskedAndReportsOnRequest) {
    start({"--link", dir.file("ttyQZ4")});
    EXPECT_EQ(std::filesystem::read_symlink(dir.file("ttyQZ4")), sim->tty());
    EXPECT_EQ(sim->port(), sim->tty().substr(5));  // kelvane's -s value: the path after /dev/
    sim->signal(SIGUSR1);
    std::string report;
    for (int i = 0; i < 250 && report.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        report = testkit::read_file(dir.file("report.txt"));
    }
    EXPECT_NE(report.find("programmed: nothing"), std::string::npos) << report;
    EXPECT_EQ(command(""), "\r\nPMON> ");  // still running
    stop_and_report();
    EXPECT_FALSE(std::filesystem::is_symlink(dir.file("ttyQZ4")));
}

TEST_F(Handheld, PacedLineCarriesEveryByteBothWays) {
    start({"--baud", "115200"});
    const std::string r = s3_record(0xA0100000, std::vector<uint8_t>(100, 0x5A));
    EXPECT_EQ(load({r, r, s7_record(PROGRAM_ADDRESS)}), std::string(3, char(ACK)));
    EXPECT_NE(host->read_until(PROMPT, REPLY_MS).find("Loaded 200 bytes"), std::string::npos);
}

TEST_F(Handheld, LineSurvivesTheHostClosingAndReopeningIt) {
    start();
    EXPECT_EQ(command(""), "\r\nPMON> ");
    host.reset();
    host = std::make_unique<HostLine>(sim->tty());
    EXPECT_EQ(command(""), "\r\nPMON> ");
}

TEST_F(Handheld, LoadAcknowledgesGoodRecordsAndRefusesDamagedOnes) {
    start();
    const std::string good = s3_record(0xA0100000, {1, 2, 3, 4});
    std::string damaged = good;
    damaged[12] = damaged[12] == '0' ? '1' : '0';
    const std::string answers = load({"S0030000FC", good, damaged, "S4050000000000", good, s7_record(PROGRAM_ADDRESS)});
    EXPECT_EQ(answers, std::string({char(ACK), char(ACK), char(NAK), char(NAK), char(ACK), char(ACK)}));
    EXPECT_NE(host->read_until(PROMPT, REPLY_MS).find("Loaded 8 bytes"), std::string::npos);
    EXPECT_NE(stop_and_report().find("records: 4 acked, 2 refused, 1 loads completed"), std::string::npos);
}

// In "load" a line end is record text with no meaning of its own: a bare CR
// is answered by nothing, and only the end record gives the prompt back.
TEST_F(Handheld, LoadTakesLineEndsAsRecordTextAndEndsOnlyOnItsEndRecord) {
    start();
    host->send("load\r");
    host->read_until("ETX\r\n", REPLY_MS);
    host->send("\r");
    EXPECT_EQ(host->read_byte(300), -1);
    const std::string good = s3_record(0xA0100000, {1, 2, 3, 4});
    std::string split = good;
    split.insert(8, "\r");
    const struct {
        const char* what;
        std::string record;
        char answer;
    } cases[] = {
        {"the bare CR, closed by its ETX", "", char(NAK)},
        {"CR LF before a record", "\r\n" + good, char(ACK)},
        {"a CR inside a record", split, char(NAK)},
        {"the end record", s7_record(PROGRAM_ADDRESS), char(ACK)},
    };
    for (const auto& c : cases) {
        host->send(c.record + "\x03");
        EXPECT_EQ(read_answer(), c.answer) << c.what;
    }
    const std::string after = host->read_until(PROMPT, REPLY_MS);
    EXPECT_NE(after.find("Loaded 4 bytes"), std::string::npos) << after;
    EXPECT_EQ(after.find("load aborted"), std::string::npos) << after;
    EXPECT_NE(stop_and_report().find("records: 2 acked, 2 refused, 1 loads completed"), std::string::npos);
}

TEST_F(Handheld, RefusesTheChosenRecordOfEveryLoad) {
    start({"--nak-record", "2"});
    const std::string r = s3_record(0xA0100000, {1});
    EXPECT_EQ(load({r, r, r}), std::string({char(ACK), char(NAK), char(ACK)}));
}

TEST_F(Handheld, RunsAProgramOnTheUartUntilItReturnsToTheMonitor) {
    start();
    EXPECT_EQ(load_program(ECHO_PROGRAM),
              std::string(2, char(ACK)));
    host->read_until(PROMPT, REPLY_MS);
    host->send("g -e a0100000\r");
    host->read_until("\r\n", REPLY_MS);
    host->send(std::string("ab\x01\x00\xffq", 6));
    EXPECT_EQ(host->read_until(PROMPT, REPLY_MS), std::string("ab\x01\x00\xffq", 6) + PROMPT);
    // The same program again: a second start behaves like the first.
    host->send("g -e a0100000\r");
    host->read_until("\r\n", REPLY_MS);
    host->send("q");
    EXPECT_EQ(host->read_until(PROMPT, REPLY_MS), "q" + PROMPT);
    // Packet bytes (SOH, STX, CAN, and the stream's delimiter NUL) count only
    // where the command line reads them, not in a program.
    host->send(std::string("\x01\x02\x18\x00\x06z\r", 7));
    EXPECT_EQ(host->read_until(PROMPT, REPLY_MS), "z\r\nz: Command not found\r\n" + PROMPT);
    const std::string report = stop_and_report();
    EXPECT_NE(report.find("programs: 2 started, 2 returned, 0 faulted"), std::string::npos) << report;
    EXPECT_NE(report.find("\nmonitor: 4 packet bytes read as commands\n"), std::string::npos) << report;
}

// Nineteen bytes at once to a program that takes 150 us (100 MHz) or 15 ms
// (1 MHz) over each: on a paced line, sixteen wait in the FIFO and the three
// behind them are lost to overrun, which the program sees in line status; it
// goes on with what it has. An unpaced line keeps everything.
TEST_F(Handheld, AProgramTooSlowForThePacedLineLosesBytesToOverrunAndGoesOn) {
    const struct {
        std::vector<std::string> args;
        std::string echoed;
        int lost;
    } cases[] = {
        {{"--baud", "115200"}, "abcdefghijklmnopXYZ", 0},
        {{"--baud", "115200", "--cpu-mhz", "1"}, "!abcdefghijklmnop", 3},
        {{"--cpu-mhz", "1"}, "abcdefghijklmnopXYZ", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.size() > 2 ? "paced, 1 MHz" : c.args[0]);
        std::filesystem::remove(dir.file("flash.bin"));
        start(c.args);
        load_program(SLOW_ECHO_PROGRAM);
        host->read_until(PROMPT, REPLY_MS);
        host->send("g -e a0100000\r");
        host->read_until("\r\n", REPLY_MS);
        host->send("abcdefghijklmnopXYZ");
        std::string echoed;
        while (echoed.size() < c.echoed.size()) {
            const int b = host->read_byte(REPLY_MS);
            if (b < 0) break;
            echoed.push_back(static_cast<char>(b));
        }
        EXPECT_EQ(echoed, c.echoed);
        host->send("q");
        EXPECT_EQ(host->read_until(PROMPT, REPLY_MS), "q" + PROMPT);
        const std::string report = stop_and_report();
        EXPECT_NE(report.find("uart: " + std::to_string(c.lost) + " bytes lost to overrun\n"), std::string::npos)
            << report;
        EXPECT_NE(report.find("programs: 1 started, 1 returned"), std::string::npos) << report;
    }
}

// A USB adapter holds what the handheld sends until its latency timer, counted
// from the first byte held, runs out.
TEST_F(Handheld, AnAdapterHoldsTheHandheldsBytesForItsLatency) {
    constexpr int LATENCY_MS = 200;
    start({"--baud", "115200", "--adapter-latency", std::to_string(LATENCY_MS)});
    const auto sent = std::chrono::steady_clock::now();
    host->send("\r");
    EXPECT_EQ(host->read_until(PROMPT, REPLY_MS), "\r\n" + PROMPT);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(LATENCY_MS));
    const std::string report = stop_and_report();
    EXPECT_NE(report.find("line: 1 bytes received, 8 sent, 0 lost"), std::string::npos) << report;
}

// Paced and unpaced alike: bytes cross only while the host and the handheld
// run at one rate, whichever side moved.
class HandheldRates : public Handheld, public testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(HandheldRates, BytesCrossOnlyWhileBothEndsRunAtTheUartsRate) {
    start(GetParam());
    load_program(FAST_ECHO_PROGRAM);
    host->read_until(PROMPT, REPLY_MS);
    host->send("g -e a0100000\r");
    host->read_until("\r\n", REPLY_MS);
    // The program's '!' comes at 921600 to a host at 115200.
    const int bang = host->read_byte(REPLY_MS);
    ASSERT_GE(bang, 0);
    EXPECT_NE(bang, '!');
    host->send("ab");
    std::string echo;
    for (int i = 0; i < 2; ++i) echo.push_back(static_cast<char>(host->read_byte(REPLY_MS)));
    EXPECT_NE(echo, "ab");

    set_host_speed(sim->tty(), B921600);
    host->send("cdq");
    EXPECT_EQ(host->read_until("q", REPLY_MS), "cdq");
    // The program goes back to 115200 and waits for a byte before it answers.
    // The host's byte may overtake the program's move and arrive garbled, as
    // on a real line; the answer comes after both moved.
    set_host_speed(sim->tty(), B115200);
    host->send("z");
    EXPECT_EQ(host->read_until(PROMPT, REPLY_MS), ">" + PROMPT);

    const std::string report = stop_and_report();
    EXPECT_TRUE(report.find("rate mismatch: 2 received garbled, 3 sent garbled") != std::string::npos ||
                report.find("rate mismatch: 3 received garbled, 3 sent garbled") != std::string::npos)
        << report;
    EXPECT_NE(report.find("uart: divisor 8, 115200 bit/s from 14745600 Hz, monitor's divisor 8, 0 programs left "
                          "another"),
              std::string::npos)
        << report;
}

INSTANTIATE_TEST_SUITE_P(Lines, HandheldRates,
                         testing::Values(std::vector<std::string>{}, std::vector<std::string>{"--baud", "115200"}),
                         [](const testing::TestParamInfo<std::vector<std::string>>& i) {
                             return std::string(i.param.empty() ? "unpaced" : "paced");
                         });

// The monitor does not set its UART again: a program that leaves another
// divisor leaves the console at that rate, and the report says so.
TEST_F(Handheld, AProgramThatLeavesAnotherDivisorLeavesTheConsoleThere) {
    start();
    load_program(LEAVE_FAST_PROGRAM);
    host->read_until(PROMPT, REPLY_MS);
    host->send("g -e a0100000\r");
    const std::string garbled = host->drain(500);
    EXPECT_EQ(garbled.find(PROMPT), std::string::npos) << "the prompt came at 115200";
    set_host_speed(sim->tty(), B921600);
    EXPECT_EQ(command(""), "\r\nPMON> ");
    const std::string report = stop_and_report();
    EXPECT_NE(report.find("uart: divisor 1, 921600 bit/s from 14745600 Hz, monitor's divisor 8, 1 programs left "
                          "another"),
              std::string::npos)
        << report;
}

TEST_F(Handheld, ASlowerUartClockGivesTheMonitorASmallerDivisor) {
    start({"--uart-clock", "1843200"});
    EXPECT_EQ(command(""), "\r\nPMON> ");
    EXPECT_NE(stop_and_report().find("uart: divisor 1, 115200 bit/s from 1843200 Hz, monitor's divisor 1"),
              std::string::npos);
}

TEST_F(Handheld, AProgramThatCrashesGivesTheMonitorBack) {
    start();
    load_program(WILD_PROGRAM);
    host->read_until(PROMPT, REPLY_MS);
    const std::string reply = command("g -e a0100000");
    EXPECT_NE(reply.find("Exception at pc"), std::string::npos) << reply;
    EXPECT_EQ(command(""), "\r\nPMON> ");
}

TEST_F(Handheld, ProgramsTheFlashFromRamBlockByBlockAfterConfirmation) {
    start({"--error-every", "2"});
    std::vector<uint8_t> data;
    for (int i = 0; i < 16; ++i) data.push_back(static_cast<uint8_t>(0xA0 + i));
    load({s3_record(0x80090000, data), s3_record(0x800D0000, data), "S705A008000052"});
    host->read_until(PROMPT, REPLY_MS);

    host->send("flash 80090000 60000 100000\r");
    EXPECT_NE(host->read_until("? (y/n) ", REPLY_MS).find("Program flash 0x100000..0x15ffff from 80090000"),
              std::string::npos);
    const std::string programming = command("y");
    EXPECT_NE(programming.find("Programming block 1 of 3 at 0x100000\r\n"), std::string::npos) << programming;
    EXPECT_NE(programming.find("Error: block 2"), std::string::npos);
    EXPECT_NE(programming.find("Programming block 3 of 3 at 0x140000\r\n"), std::string::npos);

    host->send("flash 80090000 20000 300000\r");
    host->read_until("? (y/n) ", REPLY_MS);
    EXPECT_NE(command("n").find("Not programmed"), std::string::npos);
    EXPECT_NE(command("flash 80090000 20000 ffffff").find("flash: range outside the flash"), std::string::npos);
    const std::string report = stop_and_report();
    EXPECT_NE(report.find("programmed: 0x100000..0x15ffff (0x60000 bytes) from RAM 80090000 in 3 blocks"),
              std::string::npos)
        << report;

    const std::string flash = testkit::read_file(dir.file("flash.bin"));
    ASSERT_EQ(flash.size(), DEFAULT_FLASH_SIZE);
    EXPECT_EQ(flash.substr(0x100000, 16), std::string(data.begin(), data.end()));
    EXPECT_EQ(flash.substr(0x140000, 16), std::string(data.begin(), data.end()));
    EXPECT_EQ(flash.substr(0x300000, 16), std::string(16, '\xff'));
    EXPECT_EQ(flash.substr(0xC00000, 9), "PMON/QZ4 ");  // the monitor's own image in a new flash

    // The flash outlives the simulator.
    start();
    EXPECT_EQ(stop_and_report().find("programmed: 0x"), std::string::npos);
    EXPECT_EQ(testkit::read_file(dir.file("flash.bin")).substr(0x100000, 16), std::string(data.begin(), data.end()));
}

// Like NOR flash, a flash command erases every block it touches whole: the
// part of a block before or after the range is lost.
TEST_F(Handheld, AFlashCommandErasesEveryBlockItTouchesWhole) {
    start();
    std::vector<uint8_t> data;
    for (int i = 0; i < 16; ++i) data.push_back(static_cast<uint8_t>(0x5A ^ i));
    load({s3_record(0x80090000, data), s3_record(0x800A0000, data), s3_record(0x800D0000, data), "S705A008000052"});
    host->read_until(PROMPT, REPLY_MS);
    const auto flash_command = [&](const std::string& text) {
        host->send(text + "\r");
        host->read_until("? (y/n) ", REPLY_MS);
        return command("y");
    };
    flash_command("flash 80090000 60000 100000");  // data at 0x100000, 0x110000 and 0x140000
    flash_command("flash 80090000 10000 100000");  // ends inside the block of 0x100000
    const std::string last = flash_command("flash 800a0000 10000 150000");  // starts inside the block of 0x140000
    EXPECT_NE(last.find("Programming block 1 of 1 at 0x150000"), std::string::npos) << last;
    stop_and_report();

    const std::string flash = testkit::read_file(dir.file("flash.bin"));
    const std::string image(data.begin(), data.end());
    const std::string erased(16, '\xff');
    EXPECT_EQ(flash.substr(0x100000, 16), image);   // programmed again
    EXPECT_EQ(flash.substr(0x110000, 16), erased);  // the rest of its block, lost
    EXPECT_EQ(flash.substr(0x140000, 16), erased);  // before the range in its block, lost
    EXPECT_EQ(flash.substr(0x150000, 16), image);
    EXPECT_EQ(flash.substr(0x120000, 16), std::string(16, '\0'));  // a block no later command touched
}

// Programs read the flash file at 0xBF000000 and may not write it; a smaller
// flash ends earlier.
TEST_F(Handheld, ProgramsReadTheFlashAt0xBF000000AndCannotWriteIt) {
    const std::string EXCEPTION;  // no byte: the program stops on an exception
    struct Case {
        const char* name;
        std::vector<std::string> flash_size;
        uint32_t address;
        bool store;
        std::string sent;
    };
    const Case cases[] = {
        {"the monitor's image at 0xC00000", {}, 0xBFC00000, false, "P"},
        {"the image's last byte",
         {},
         0xBFC7FFFF,
         false,
         std::string(1, static_cast<char>(monitor_image_byte(MONITOR_AREA_SIZE - 1)))},
        {"the flash's last byte", {}, 0xBFFFFFFF, false, "\xff"},
        {"an erased byte", {}, 0xBF000000, false, "\xff"},
        {"the last byte of a 1 MiB flash", {"--flash-size", "0x100000"}, 0xBF0FFFFF, false, "\xff"},
        {"past a 1 MiB flash", {"--flash-size", "0x100000"}, 0xBF100000, false, EXCEPTION},
        {"a store", {}, 0xBF000000, true, EXCEPTION},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(dir.file("flash.bin"));
        start(c.flash_size);
        load_program(peek_program(c.address, c.store));
        host->read_until(PROMPT, REPLY_MS);
        host->send("g -e a0100000\r");
        host->read_until("\r\n", REPLY_MS);
        const std::string reply = host->read_until(PROMPT, REPLY_MS);
        if (c.sent.empty())
            EXPECT_NE(reply.find("Exception at pc"), std::string::npos) << reply;
        else
            EXPECT_EQ(reply, c.sent + PROMPT);
        stop_and_report();
        EXPECT_EQ(testkit::read_file(dir.file("flash.bin")).substr(0, 1), "\xff") << "the store reached the flash";
    }
}

// The monitor reports every block whatever the flash faults do; the flash
// and the report show what they did.
TEST_F(Handheld, StuckBitsAndASkippedBlockLeaveTheFlashWrongUnseenByTheMonitor) {
    start({"--stuck-bits", "3", "--skip-block", "2", "--seed", "7"});
    std::vector<uint8_t> data;
    for (int i = 0; i < 16; ++i) data.push_back(static_cast<uint8_t>(0xA5 ^ (i * 29)));
    load({s3_record(0x80090000, data), s3_record(0x800B0000, data), s3_record(0x800D0000, data), "S705A008000052"});
    host->read_until(PROMPT, REPLY_MS);
    host->send("flash 80090000 60000 100000\r");
    host->read_until("? (y/n) ", REPLY_MS);
    const std::string programming = command("y");
    EXPECT_NE(programming.find("Programming block 2 of 3 at 0x120000\r\n"), std::string::npos) << programming;
    EXPECT_NE(programming.find("Programming block 3 of 3 at 0x140000\r\n"), std::string::npos) << programming;
    EXPECT_EQ(programming.find("Error"), std::string::npos) << programming;
    const std::string report = stop_and_report();

    const std::string flash = testkit::read_file(dir.file("flash.bin"));
    const std::string meant(data.begin(), data.end());
    // Block 1: three of the data's 1-bits read 0, and nothing else differs.
    int missing_ones = 0;
    for (size_t i = 0; i < meant.size(); ++i) {
        const auto held = static_cast<uint8_t>(flash[0x100000 + i]);
        const auto want = static_cast<uint8_t>(meant[i]);
        EXPECT_EQ(held & ~want, 0) << "a bit set that the data does not have, at " << i;
        missing_ones += std::popcount(static_cast<unsigned>(want & ~held));
    }
    EXPECT_EQ(missing_ones, 3);
    EXPECT_EQ(flash.substr(0x120000, 0x20000), std::string(0x20000, '\xff')) << "block 2 was written";
    EXPECT_EQ(flash.substr(0x140000, 16), meant);
    EXPECT_NE(report.find("stuck bits: 3 of 3 placed: 0x1000"), std::string::npos) << report;
    EXPECT_NE(report.find("skipped block: block 2 of the run, 0x120000..0x13ffff, reported but left as it was"),
              std::string::npos)
        << report;
}

TEST_F(Handheld, RestoreBootsPrintsHardResetAndComesBackToTheMonitor) {
    start();
    const std::string reply = command("$linux console=ttyS0,115200 init=/sbin/restore_defaults");
    EXPECT_NE(reply.find("\r\nHard reset\r\n"), std::string::npos) << reply;
    EXPECT_NE(command("unzip").find("done"), std::string::npos);
    EXPECT_NE(stop_and_report().find("boots: 0 system, 1 restore"), std::string::npos);
}

TEST_F(Handheld, EndsAfterBootingWhenAskedTo) {
    start({"--exit-after-boot"});
    host->send("$linux\r");
    EXPECT_NE(host->read_until("login: ", REPLY_MS).find("Starting kernel"), std::string::npos);
    EXPECT_EQ(sim->wait_exit(10000), 0);
    EXPECT_NE(testkit::read_file(dir.file("report.txt")).find("boots: 1 system, 0 restore"), std::string::npos);
}

TEST_F(Handheld, FallsSilentAfterTheChosenNumberOfBytes) {
    start({"--silent-after", "3"});
    host->send("ab");
    EXPECT_EQ(host->read_until("ab", REPLY_MS), "ab");
    host->send("cd\r");
    EXPECT_EQ(host->drain(500).find("PMON> "), std::string::npos);
    EXPECT_NE(stop_and_report().find("silent yes"), std::string::npos);
}

TEST_F(Handheld, HangsUpTheLineAfterTheChosenNumberOfBytes) {
    start({"--hangup-after", "2"});
    host->send("abc");
    EXPECT_TRUE(host->gone(REPLY_MS));
    EXPECT_NE(stop_and_report().find("hung up yes"), std::string::npos);
}

TEST(FlashInspection, ComparesImagesAndChecksErasedRanges) {
    testkit::TempDir dir;
    std::string flash(0x2000, '\xff');
    flash.replace(0x1000, 4, "abcd");
    testkit::write_file(dir.file("flash.bin"), flash);
    testkit::write_file(dir.file("same"), "abcd");
    testkit::write_file(dir.file("other"), "abce");
    testkit::write_file(dir.file("long"), std::string(0x1001, 'a'));
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const Case cases[] = {
        {{"--compare", "0x1000", dir.file("same")}, 0},
        {{"--compare", "0x1000", dir.file("other")}, 1},
        {{"--compare", "0x1001", dir.file("same")}, 1},
        {{"--compare", "0x1000", dir.file("long")}, 1},  // runs past the end of the flash
        {{"--compare", "0", dir.file("missing")}, 2},
        {{"--check-erased", "0", "0x1000"}, 0},
        {{"--check-erased", "0", "0x1001"}, 1},
        {{"--check-erased", "0x1004", "0xffc"}, 0},
        {{"--check-erased", "0x1004", "0xffd"}, 1},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--flash", dir.file("flash.bin")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::string line = QZ4SIM_BINARY;
        for (const auto& a : args) line += " " + a;
        SCOPED_TRACE(line);
        const testkit::RunResult run = testkit::run_program(QZ4SIM_BINARY, args);
        EXPECT_EQ(run.exit_status, c.status) << run.err;
    }
}

}  // namespace

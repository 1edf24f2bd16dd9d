// SPDX-License-Identifier: GPL-2.0-or-later
// The loader's receive behaviour, on the real image in emulation: what it
// answers, what it stores, what it writes as its verdict (with the CRC-32 of
// what it stored, as zlib computes it), and that it returns to its caller with
// nothing touched outside its own memory. The fast entry's tests play the
// host's side of the rate negotiation and check what the host hears at its
// own rate, which divisors the UART went through, and that it ends as the
// monitor left it.
#include "firmware/loader_checks.h"
#include "firmware/loader_machine.h"

#include "support/xmodem_packet.h"
#include "transfer/control_bytes.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t DATA = 128;        // data bytes per packet
constexpr std::size_t LONG_DATA = 1024;  // data bytes per STX packet
// The loader's own memory: image with variables, trace ring, packet buffer.
constexpr std::uint32_t LOADER_IMAGE = 0xA0080000;
constexpr std::size_t LOADER_IMAGE_SIZE = 0xFE0;
constexpr std::uint32_t TRACE_RING = 0xA0081000;
constexpr std::size_t TRACE_RING_SIZE = 4095;
constexpr std::uint32_t PACKET_BUFFER = 0xA0082000;
constexpr std::uint32_t LOADER_MEMORY_END = 0xA0082080;
constexpr std::size_t STACK_ROOM = 0x100;  // what the loader may use below sp
constexpr long POLLS_PER_TIMEOUT = 5000000;
constexpr long PURGE_POLLS = 1000000;  // a purge of endless noise gives up
constexpr int BUDGET = 20;
// No packet is stored past the most one transfer carries and a packet of filler.
constexpr std::uint32_t DEST_END = RAM_RECEIVE_AREA + 0x670000 + DATA;

constexpr long NEGOTIATION_POLLS = 1000000;
constexpr long SYNC_POLLS = 500000;

// Data of a packet: differs between packets and between positions in one.
std::vector<std::uint8_t> payload(int seed, std::size_t size = DATA) {
    std::vector<std::uint8_t> data(size);
    for (std::size_t i = 0; i < size; i++)
        data[i] = static_cast<std::uint8_t>(seed * 37 + i * 11 + (seed >> 8) + i / 256);
    return data;
}

// SOH for 128 data bytes, STX for 1024; checksum_error is added to the checksum.
std::vector<std::uint8_t> packet_bytes(std::uint8_t block, const std::vector<std::uint8_t>& data,
                                       int checksum_error = 0) {
    const std::string packet = xmodem_packet(block, std::string(data.begin(), data.end()));
    std::vector<std::uint8_t> bytes(packet.begin(), packet.end());
    bytes.back() = static_cast<std::uint8_t>(bytes.back() + checksum_error);
    return bytes;
}

// One move of the sender. Everything but silence is followed by a wait for the
// loader's answer, as a sender does.
struct Step {
    enum Kind { Packet, BadChecksum, Truncated, Byte, Silence, Raw } kind;
    std::uint8_t value;  // block number, or the byte
    int seed = 0;        // data of a packet
    std::size_t size = DATA;
    std::vector<std::uint8_t> bytes = {};  // sent as they are, at once
};

Step packet(std::uint8_t block, int seed) { return {Step::Packet, block, seed}; }
Step bad_checksum(std::uint8_t block, int seed) { return {Step::BadChecksum, block, seed}; }
Step truncated(std::uint8_t block, int seed) { return {Step::Truncated, block, seed}; }
Step long_packet(std::uint8_t block, int seed) { return {Step::Packet, block, seed, LONG_DATA}; }
Step long_bad_checksum(std::uint8_t block, int seed) { return {Step::BadChecksum, block, seed, LONG_DATA}; }
Step long_truncated(std::uint8_t block, int seed) { return {Step::Truncated, block, seed, LONG_DATA}; }
Step byte(std::uint8_t value) { return {Step::Byte, value}; }
Step silence() { return {Step::Silence, 0}; }
Step raw(std::vector<std::uint8_t> bytes) { return {Step::Raw, 0, 0, DATA, std::move(bytes)}; }

// A packet whose byte at index was damaged into value, and what follows it at once.
Step damaged(std::uint8_t block, int seed, std::size_t index, std::uint8_t value, std::vector<std::uint8_t> after = {},
             std::size_t size = DATA) {
    std::vector<std::uint8_t> bytes = packet_bytes(block, payload(seed, size));
    bytes[index] = value;
    bytes.insert(bytes.end(), after.begin(), after.end());
    return raw(bytes);
}

std::vector<Step> times(int count, Step step) { return std::vector<Step>(count, step); }

std::vector<std::uint8_t> join_bytes(std::vector<std::uint8_t> first, const std::vector<std::uint8_t>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

std::vector<Step> join(std::initializer_list<std::vector<Step>> parts) {
    std::vector<Step> all;
    for (const std::vector<Step>& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The sender first waits for the loader's opening NAK.
void play(LoaderMachine& machine, const std::vector<Step>& steps) {
    machine.pause();
    for (const Step& step : steps) {
        switch (step.kind) {
            case Step::Packet:
                machine.send(packet_bytes(step.value, payload(step.seed, step.size)));
                break;
            case Step::BadChecksum:
                machine.send(packet_bytes(step.value, payload(step.seed, step.size), 1));
                break;
            case Step::Truncated: {
                std::vector<std::uint8_t> bytes = packet_bytes(step.value, payload(step.seed, step.size));
                bytes.resize(bytes.size() / 2);
                machine.send(bytes);
                break;
            }
            case Step::Byte:
                machine.send({step.value});
                break;
            case Step::Silence:
                break;
            case Step::Raw:
                machine.send(step.bytes);
                break;
        }
        machine.pause();
    }
}

// "ANNC" -> ACK NAK NAK CAN
std::string answers(const std::string& letters) {
    std::string bytes;
    for (char letter : letters) bytes.push_back(static_cast<char>(letter == 'A' ? ACK : letter == 'C' ? CAN : NAK));
    return bytes;
}

std::string failed(const std::string& status) { return status + "\r\nDownload Failed!\r\n"; }

// The verdict of a successful transfer that stored these bytes.
std::string success(const std::vector<std::uint8_t>& stored) {
    const unsigned long crc = crc32(0, stored.data(), static_cast<uInt>(stored.size()));
    char line[32];
    std::snprintf(line, sizeof line, "CRC32 %08lx %08zx\r\n", crc, stored.size());
    return "Download Successful\r\n" + std::string(line);
}

std::vector<std::uint8_t> joined_payloads(const std::vector<int>& seeds) {
    std::vector<std::uint8_t> bytes;
    for (int seed : seeds) {
        std::vector<std::uint8_t> data = payload(seed);
        bytes.insert(bytes.end(), data.begin(), data.end());
    }
    return bytes;
}

// A whole transfer of data (a multiple of 128 bytes): the packets in order, then EOT.
void play_file(LoaderMachine& machine, const std::vector<std::uint8_t>& data) {
    machine.pause();
    for (std::size_t n = 0; n * DATA < data.size(); n++) {
        std::vector<std::uint8_t> packet(data.begin() + n * DATA, data.begin() + (n + 1) * DATA);
        machine.send(packet_bytes(static_cast<std::uint8_t>(n + 1), packet));
        machine.pause();
    }
    machine.send({EOT});
    machine.pause();
}

std::vector<std::uint8_t> random_bytes(std::mt19937& random, std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
    return bytes;
}

bool inside(std::uint32_t physical, int size, std::uint32_t start, std::size_t length) {
    start &= PHYS_MASK;
    return physical >= start && physical + size <= start + length;
}

// What holds after every run: a clean return, the gate bit around every byte
// sent, and stores only to the loader's memory, the caller's stack and the
// received data (with room past it where 1024-byte packets land before they
// are judged).
void expect_clean_run(const LoaderMachine& machine, std::size_t received_bytes, std::size_t unjudged = 0) {
    expect_clean_return_with_gate(machine);

    for (const StoreRecord& store : machine.stores) {
        bool allowed = inside(store.physical, store.size, LOADER_IMAGE, LOADER_IMAGE_SIZE) ||
                       inside(store.physical, store.size, TRACE_RING, TRACE_RING_SIZE) ||
                       inside(store.physical, store.size, PACKET_BUFFER, DATA) ||
                       inside(store.physical, store.size, machine.stack_top - STACK_ROOM, STACK_ROOM) ||
                       inside(store.physical, store.size, RAM_RECEIVE_AREA, received_bytes + unjudged);
        EXPECT_TRUE(allowed) << std::hex << "store of " << store.size << " bytes at physical 0x" << store.physical;
    }
}

}  // namespace

// Enough packets to wrap the block number many times and the trace ring once.
TEST(LoaderReceive, TakesThousandsOfPacketsInOrderAcrossEveryWrap) {
    constexpr int PACKETS = 4200;
    constexpr std::size_t SHORT_BY = 50;  // the last packet is partly filler
    std::vector<std::uint8_t> file(PACKETS * DATA - SHORT_BY);
    for (std::size_t i = 0; i < file.size(); i++) file[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    std::vector<std::uint8_t> expected = file;
    expected.resize(PACKETS * DATA, XMODEM_FILLER);

    LoaderMachine machine;
    machine.fill(RAM_RECEIVE_AREA, expected.size() + DATA, 0xEE);
    play_file(machine, expected);
    machine.run();

    EXPECT_EQ(machine.sent, answers("N" + std::string(PACKETS + 1, 'A')) + success(expected));
    EXPECT_EQ(machine.read(RAM_RECEIVE_AREA, expected.size()), expected);
    EXPECT_EQ(machine.read(RAM_RECEIVE_AREA + expected.size(), DATA), std::vector<std::uint8_t>(DATA, 0xEE));
    // 4,201 outcomes in 4,095 places: the newest, EOT's, sits after the wrap.
    std::string ring(TRACE_RING_SIZE, 'P');
    ring[(PACKETS) % TRACE_RING_SIZE] = 'D';
    ring[(PACKETS + 1) % TRACE_RING_SIZE] = '\0';
    std::vector<std::uint8_t> stored_ring = machine.read(TRACE_RING, TRACE_RING_SIZE);
    EXPECT_EQ(std::string(stored_ring.begin(), stored_ring.end()), ring);
    expect_clean_run(machine, expected.size());
}

TEST(LoaderReceive, AnswersEachOutcomeAndStopsWhereItShould) {
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::string sent;
        std::vector<int> stored;  // seeds of the packets found at 0x80090000
        std::string trace;        // the trace ring's codes, oldest first
    };
    const std::string spent = std::string(BUDGET - 1, 'N') + "CC";  // the last failure cancels
    const Case cases[] = {
        {"a repeat of the block accepted last (our ACK was lost) is acknowledged, not stored",
         {packet(1, 1), packet(1, 1), packet(2, 2), byte(EOT)},
         answers("NAAAA") + success(joined_payloads({1, 2})),
         {1, 2},
         "PRPD"},
        {"block 0 before any packet was accepted is a wrong block, not a repeat",
         {packet(0, 5), packet(1, 1), byte(EOT)},
         answers("NNAA") + success(joined_payloads({1})),
         {1},
         "WPD"},
        {"a block from the future is refused",
         {packet(1, 1), packet(3, 3), packet(2, 2), byte(EOT)},
         answers("NANAA") + success(joined_payloads({1, 2})),
         {1, 2},
         "PWPD"},
        {"a bad checksum is refused and the resend taken",
         {packet(1, 1), bad_checksum(2, 2), packet(2, 2), byte(EOT)},
         answers("NANAA") + success(joined_payloads({1, 2})),
         {1, 2},
         "PCPD"},
        {"a repeat with a bad checksum is a bad checksum",
         {packet(1, 1), bad_checksum(1, 1), packet(2, 2), byte(EOT)},
         answers("NANAA") + success(joined_payloads({1, 2})),
         {1, 2},
         "PCPD"},
        {"a wrong block number is judged before the checksum",
         {bad_checksum(5, 5), packet(1, 1), byte(EOT)},
         answers("NNAA") + success(joined_payloads({1})),
         {1},
         "WPD"},
        {"a damaged SOH: the rest of the packet is dropped, not read as the next",
         {damaged(1, 1, 0, 'x'), packet(1, 1), byte(EOT)},
         answers("NNAA") + success(joined_payloads({1})),
         {1},
         "NPD"},
        {"a damaged SOH that reads as EOT does not end the transfer",
         {packet(1, 1), damaged(2, 2, 0, EOT), packet(2, 2), byte(EOT)},
         answers("NANAA") + success(joined_payloads({1, 2})),
         {1, 2},
         "PNPD"},
        {"a damaged SOH that reads as CAN does not end the transfer",
         {damaged(1, 1, 0, CAN), packet(1, 1), byte(EOT)},
         answers("NNAA") + success(joined_payloads({1})),
         {1},
         "NPD"},
        {"a stray byte before a packet: both are dropped",
         {raw(join_bytes({'x'}, packet_bytes(1, payload(1)))), packet(1, 1), byte(EOT)},
         answers("NNAA") + success(joined_payloads({1})),
         {1},
         "NPD"},
        {"a damaged checksum byte followed by a stray byte",
         {raw(join_bytes(packet_bytes(1, payload(1), 1), {'x', 'y'})), packet(1, 1), byte(EOT)},
         answers("NNAA") + success(joined_payloads({1})),
         {1},
         "CPD"},
        {"a lone CAN is noise",
         {packet(1, 1), byte(CAN), packet(2, 2), byte(EOT)},
         answers("NANAA") + success(joined_payloads({1, 2})),
         {1, 2},
         "PNPD"},
        {"two CANs and a quiet line: acknowledged, and the transfer ends",
         {packet(1, 1), raw({CAN, CAN})},
         answers("NAA") + failed("ABORTED"),
         {1},
         "PA"},
        {"two CANs followed by more bytes are noise",
         {raw({CAN, CAN, 'x'}), packet(1, 1), byte(EOT)},
         answers("NNAA") + success(joined_payloads({1})),
         {1},
         "NPD"},
        {"EOT followed by more bytes is noise",
         {packet(1, 1), raw({EOT, 'x'}), byte(EOT)},
         answers("NANA") + success(joined_payloads({1})),
         {1},
         "PND"},
        {"any other first byte is noise",
         {byte('x'), packet(1, 1), byte(EOT)},
         answers("NNAA") + success(joined_payloads({1})),
         {1},
         "NPD"},
        {"a 1024-byte packet is noise on this entry",
         {long_packet(1, 1), packet(1, 1), byte(EOT)},
         answers("NNAA") + success(joined_payloads({1})),
         {1},
         "NPD"},
        {"EOT before any packet ends successfully", {byte(EOT)}, answers("NA") + success(joined_payloads({})), {}, "D"},
        {"twenty failures in a row use up the budget: CAN, CAN instead of the last NAK",
         times(BUDGET, packet(9, 9)),
         answers("N" + spent) + failed("WRONG BLK"),
         {},
         std::string(BUDGET, 'W')},
        {"repeats use up the budget too",
         join({{packet(1, 1)}, times(BUDGET, packet(1, 1))}),
         answers("NA" + std::string(BUDGET - 1, 'A') + "CC") + failed("REPEATED BLK"),
         {1},
         "P" + std::string(BUDGET, 'R')},
        {"noise uses up the budget too",
         times(BUDGET, byte('x')),
         answers("N" + spent) + failed("NOISE"),
         {},
         std::string(BUDGET, 'N')},
        {"an accepted packet restores the budget",
         join({times(BUDGET - 1, packet(9, 9)),
               {packet(1, 1)},
               times(BUDGET - 1, packet(9, 9)),
               {packet(2, 2), byte(EOT)}}),
         answers("N" + std::string(BUDGET - 1, 'N') + "A" + std::string(BUDGET - 1, 'N') + "AA") +
             success(joined_payloads({1, 2})),
         {1, 2},
         std::string(BUDGET - 1, 'W') + "P" + std::string(BUDGET - 1, 'W') + "PD"},
        {"EOT that spends the last unit of the budget is not a success, and is acknowledged",
         join({times(BUDGET - 1, packet(9, 9)), {byte(EOT)}}),
         answers("N" + std::string(BUDGET - 1, 'N') + "A") + failed("DONE"),
         {},
         std::string(BUDGET - 1, 'W') + "D"},
        {"a silent sender times out once and the transfer goes on",
         {packet(1, 1), silence(), packet(2, 2), byte(EOT)},
         answers("NANAA") + success(joined_payloads({1, 2})),
         {1, 2},
         "PTPD"},
        {"a packet cut short times out, and its resend is taken",
         {packet(1, 1), truncated(2, 2), packet(2, 2), byte(EOT)},
         answers("NANAA") + success(joined_payloads({1, 2})),
         {1, 2},
         "PTPD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoaderMachine machine;
        play(machine, c.steps);
        machine.run();

        EXPECT_EQ(machine.sent, c.sent);
        std::vector<std::uint8_t> stored = joined_payloads(c.stored);
        EXPECT_EQ(machine.read(RAM_RECEIVE_AREA, stored.size()), stored);
        std::vector<std::uint8_t> ring = machine.read(TRACE_RING, c.trace.size() + 1);
        EXPECT_EQ(std::string(ring.begin(), ring.end()), c.trace + std::string(1, '\0'));
        expect_clean_run(machine, stored.size());
    }
}

// Every transfer restarts the entry on the loader uploaded once: state left by
// the previous run must not leak into the next.
TEST(LoaderReceive, ASecondRunInTheSameMemoryBehavesLikeTheFirst) {
    // Leaves a moved destination, block 4 expected, a spent budget unit and a trace.
    const std::vector<Step> steps = {packet(1, 1), packet(2, 2), packet(3, 3), raw({CAN, CAN})};
    const std::size_t received = 3 * DATA;

    LoaderMachine machine;
    play(machine, steps);
    machine.run();
    expect_clean_run(machine, received);
    const std::string first_sent = machine.sent;
    const std::vector<std::uint8_t> first_loader = machine.read(LOADER_IMAGE, LOADER_MEMORY_END - LOADER_IMAGE);
    const std::vector<std::uint8_t> first_data = machine.read(RAM_RECEIVE_AREA, 2 * received);
    EXPECT_EQ(first_sent, answers("NAAAA") + failed("ABORTED"));

    play(machine, steps);
    machine.run();
    expect_clean_run(machine, received);
    EXPECT_EQ(machine.sent, first_sent);
    EXPECT_EQ(machine.read(LOADER_IMAGE, LOADER_MEMORY_END - LOADER_IMAGE), first_loader);
    EXPECT_EQ(machine.read(RAM_RECEIVE_AREA, 2 * received), first_data);
}

// The CRC line must be zlib's crc32 of exactly the bytes stored, whatever the
// data, and the byte count in the same line.
TEST(LoaderCrc, IsZlibsCrcOfTheStoredBytesOverPacketsOfRandomData) {
    std::mt19937 random(20261210);
    for (std::size_t packets : {1, 2, 3, 31, 255, 256, 257, 600}) {
        SCOPED_TRACE(packets);
        const std::vector<std::uint8_t> data = random_bytes(random, packets * DATA);
        LoaderMachine machine;
        play_file(machine, data);
        machine.run();

        EXPECT_EQ(machine.sent, answers("N" + std::string(packets + 1, 'A')) + success(data));
        expect_clean_run(machine, data.size());
    }
}

// What the checksum cannot see: two data bytes swapped keep the sum, so the
// packet is taken; the CRC line shows what was stored, not what was meant.
TEST(LoaderCrc, SeesTwoSwappedBytesThatTheChecksumLetsThrough) {
    std::mt19937 random(7);
    const std::vector<std::uint8_t> meant = random_bytes(random, 2 * DATA);
    std::vector<std::uint8_t> swapped = meant;
    std::swap(swapped[DATA + 5], swapped[DATA + 90]);
    ASSERT_NE(swapped, meant);

    LoaderMachine machine;
    play_file(machine, swapped);
    machine.run();

    EXPECT_EQ(machine.sent, answers("NAAA") + success(swapped));
    EXPECT_NE(success(swapped), success(meant));
}

// The loader is uploaded once and started for every image: each run reports
// its own bytes only.
TEST(LoaderCrc, StartsAfreshOnEveryRun) {
    std::mt19937 random(3);
    const std::vector<std::uint8_t> first = random_bytes(random, 3 * DATA);
    const std::vector<std::uint8_t> second = random_bytes(random, 2 * DATA);

    LoaderMachine machine;
    play_file(machine, first);
    machine.run();
    EXPECT_EQ(machine.sent, answers("NAAAA") + success(first));
    play_file(machine, second);
    machine.run();
    EXPECT_EQ(machine.sent, answers("NAAA") + success(second));
}

// Twenty time-outs of 5,000,000 polls each: about five seconds in emulation.
TEST(LoaderReceive, SilenceTimesOutUntilTheBudgetRunsOut) {
    LoaderMachine machine;
    play(machine, {});
    machine.run();

    EXPECT_EQ(machine.sent, answers(std::string(BUDGET, 'N') + "CC") + failed("TIMEOUT"));
    // Each time-out is exactly its poll count; sending polls once per byte.
    EXPECT_EQ(machine.silent_polls, static_cast<std::uint64_t>(BUDGET * POLLS_PER_TIMEOUT + machine.sent.size()));
    expect_clean_run(machine, 0);
}

namespace {

constexpr std::uint16_t MONITOR_DIVISOR = 8;  // 115200 bit/s from a 14.7456 MHz clock
constexpr std::uint8_t MONITOR_LCR = 0x03;    // 8N1

std::string fast_line(std::uint16_t divisor) {
    char line[16];
    std::snprintf(line, sizeof line, "FAST %04x\r\n", divisor);
    return line;
}

// The host's side of the negotiation, up to the loader's NAK (which play()
// waits for). The host answers once it has read the whole FAST line.
void hear_fast_line(LoaderMachine& machine) {
    for (std::size_t i = 0; i < fast_line(0).size(); i++) machine.pause();
}

void ask_for(LoaderMachine& machine, std::uint16_t divisor) {
    hear_fast_line(machine);
    machine.send({'S', static_cast<std::uint8_t>(divisor), static_cast<std::uint8_t>(divisor >> 8)});
    machine.host_rate(machine.rate_of(divisor));
}

void stay(LoaderMachine& machine) {
    hear_fast_line(machine);
    machine.send({'='});
}

void sync(LoaderMachine& machine) {
    machine.send({'U'});
    machine.pause();
    machine.send({'G'});
}

// After the last answer the host goes back to the monitor's rate and wakes it.
void wake(LoaderMachine& machine) {
    machine.host_rate(MONITOR_RATE);
    machine.send({'\r'});
}

// The UART as the monitor left it, however the run ended.
void expect_uart_given_back(const LoaderMachine& machine, std::uint16_t divisor, std::uint8_t lcr) {
    EXPECT_EQ(machine.divisor(), divisor);
    EXPECT_EQ(machine.lcr(), lcr);
    EXPECT_TRUE(machine.lcr_other_bits_kept);
    EXPECT_FALSE(machine.divisor_changed_while_sending);
}

// Every whole kilobyte as an STX packet, the tail as SOH packets with filler.
// Returns what the loader should store.
std::vector<std::uint8_t> play_image_fast(LoaderMachine& machine, const std::vector<std::uint8_t>& image) {
    std::vector<std::uint8_t> stored;
    std::uint8_t block = 1;
    std::size_t at = 0;
    machine.pause();
    while (at < image.size()) {
        const std::size_t size = image.size() - at >= LONG_DATA ? LONG_DATA : DATA;
        std::vector<std::uint8_t> data(image.begin() + at, image.begin() + std::min(at + size, image.size()));
        data.resize(size, XMODEM_FILLER);
        machine.send(packet_bytes(block++, data));
        machine.pause();
        stored.insert(stored.end(), data.begin(), data.end());
        at += size;
    }
    machine.send({EOT});
    machine.pause();
    return stored;
}

}  // namespace

TEST(LoaderFastEntry, ReportsTheMonitorsDivisorAndStaysWithIt) {
    for (std::uint16_t divisor : {8, 1, 12, 0x0100, 0x1234}) {
        SCOPED_TRACE(divisor);
        LoaderMachine machine;
        machine.set_uart(divisor, MONITOR_LCR);
        stay(machine);
        sync(machine);
        play(machine, {byte(EOT)});
        wake(machine);
        machine.run(LOADER_FAST_ENTRY);

        EXPECT_EQ(machine.sent, fast_line(divisor) + "K" + answers("NA") + success({}));
        EXPECT_EQ(machine.divisors, std::vector<std::uint16_t>{divisor});
        expect_uart_given_back(machine, divisor, MONITOR_LCR);
        expect_clean_run(machine, 0);
    }
}

// The K must already go out at the new rate, and the line control's other
// bits (a pattern here, not 8N1) must survive the divisor latch's use.
TEST(LoaderFastEntry, MovesToTheAskedDivisorConfirmsItAndGivesItBack) {
    struct Case {
        std::uint16_t divisor;
        std::uint8_t lcr;
    };
    for (const Case c : {Case{1, MONITOR_LCR}, Case{2, 0x1B}, Case{4, 0x3F}, Case{0x0102, 0x03}}) {
        SCOPED_TRACE(c.divisor);
        LoaderMachine machine;
        machine.set_uart(MONITOR_DIVISOR, c.lcr);
        ask_for(machine, c.divisor);
        machine.send({'U'});
        machine.pause();
        sync(machine);
        play(machine, {long_packet(1, 1), byte(EOT)});
        wake(machine);
        machine.run(LOADER_FAST_ENTRY);

        EXPECT_EQ(machine.sent, fast_line(MONITOR_DIVISOR) + "KK" + answers("NAA") + success(payload(1, LONG_DATA)));
        EXPECT_EQ(machine.divisors, (std::vector<std::uint16_t>{MONITOR_DIVISOR, c.divisor, MONITOR_DIVISOR}));
        expect_uart_given_back(machine, MONITOR_DIVISOR, c.lcr);
        expect_clean_run(machine, LONG_DATA);
    }
}

// The stored bytes equal the 128-byte path's: kilobytes in place, the tail
// through the packet buffer, nothing written past the last packet.
TEST(LoaderFastEntry, StoresKilobytesAndTailByteForByteWithTheirCrc) {
    std::mt19937 random(14);
    for (std::size_t size : {std::size_t{1}, LONG_DATA, 3 * LONG_DATA + 300, 257 * LONG_DATA + 77}) {
        SCOPED_TRACE(size);
        const std::vector<std::uint8_t> image = random_bytes(random, size);
        LoaderMachine machine;
        ask_for(machine, 1);
        sync(machine);
        const std::vector<std::uint8_t> stored = play_image_fast(machine, image);
        wake(machine);
        machine.fill(RAM_RECEIVE_AREA, stored.size() + LONG_DATA, 0xEE);
        machine.run(LOADER_FAST_ENTRY);

        const std::size_t packets = size / LONG_DATA + (size % LONG_DATA + DATA - 1) / DATA;
        EXPECT_EQ(machine.sent,
                  fast_line(MONITOR_DIVISOR) + "K" + answers("N" + std::string(packets + 1, 'A')) + success(stored));
        EXPECT_EQ(machine.read(RAM_RECEIVE_AREA, stored.size()), stored);
        EXPECT_EQ(machine.read(RAM_RECEIVE_AREA + stored.size(), LONG_DATA),
                  std::vector<std::uint8_t>(LONG_DATA, 0xEE));
        expect_uart_given_back(machine, MONITOR_DIVISOR, MONITOR_LCR);
        expect_clean_run(machine, stored.size());
    }
}

// Each way the negotiation can go, followed by the same one-kilobyte transfer
// at the rate it ended on.
TEST(LoaderFastEntry, NegotiationFallsBackOrGoesOn) {
    struct Case {
        const char* name;
        void (*host)(LoaderMachine&);  // everything before the loader's NAK
        std::string heard;             // between the FAST line and the NAK
        std::vector<std::uint16_t> divisors;
    };
    const Case cases[] = {
        {"'=' stays at the monitor's rate",
         [](LoaderMachine& m) {
             stay(m);
             sync(m);
         },
         "K",
         {MONITOR_DIVISOR}},
        {"a request garbled on the line stays, and the host's fast U's are not answered",
         [](LoaderMachine& m) {
             hear_fast_line(m);
             m.host_rate(57600);
             m.send({'S', 1, 0});
             m.host_rate(921600);
             m.send({'U', 'U'});
             m.host_rate(MONITOR_RATE);
             sync(m);
         },
         "K",
         {MONITOR_DIVISOR}},
        {"no request within the budget stays",
         [](LoaderMachine& m) {
             hear_fast_line(m);
             m.quiet(NEGOTIATION_POLLS + 1000);
             sync(m);
         },
         "K",
         {MONITOR_DIVISOR}},
        {"divisor 0 is no request",
         [](LoaderMachine& m) {
             hear_fast_line(m);
             m.send({'S', 0, 0});
             sync(m);
         },
         "K",
         {MONITOR_DIVISOR}},
        {"no sync at the fast rate: back to the monitor's, and synced there",
         [](LoaderMachine& m) {
             hear_fast_line(m);
             m.send({'S', 1, 0, 'U', 'U'});  // the host's own switch did not take
             m.quiet(SYNC_POLLS + 1000);
             sync(m);
         },
         "K",
         {MONITOR_DIVISOR, 1, MONITOR_DIVISOR}},
        {"no sync at the monitor's rate: the receive starts anyway",
         [](LoaderMachine& m) { stay(m); },
         "",
         {MONITOR_DIVISOR}},
        {"no sync at either rate: the receive starts at the monitor's",
         [](LoaderMachine& m) {
             hear_fast_line(m);
             m.send({'S', 1, 0});
         },
         "",
         {MONITOR_DIVISOR, 1, MONITOR_DIVISOR}},
        {"other bytes during the sync are ignored",
         [](LoaderMachine& m) {
             ask_for(m, 2);
             m.send({'x', SOH, 'K'});
             sync(m);
         },
         "K",
         {MONITOR_DIVISOR, 2, MONITOR_DIVISOR}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoaderMachine machine;
        c.host(machine);
        play(machine, {long_packet(1, 1), byte(EOT)});
        wake(machine);
        machine.run(LOADER_FAST_ENTRY);

        EXPECT_EQ(machine.sent, fast_line(MONITOR_DIVISOR) + c.heard + answers("NAA") + success(payload(1, LONG_DATA)));
        EXPECT_EQ(machine.divisors, c.divisors);
        expect_uart_given_back(machine, MONITOR_DIVISOR, MONITOR_LCR);
        expect_clean_run(machine, LONG_DATA);
    }
}

// Every end of a transfer at the fast rate: the verdict is heard only if the
// UART is back at the monitor's rate before it, since the host is there by
// then; 1024-byte packets count only once accepted.
TEST(LoaderFastEntry, EveryEndGivesTheUartBackBeforeTheVerdict) {
    constexpr std::uint8_t LCR_PATTERN = 0x1B;  // not 8N1, so a constant written back shows
    const std::vector<std::uint8_t> first = payload(1, LONG_DATA);
    std::vector<std::uint8_t> first_two = first;
    const std::vector<std::uint8_t> second = payload(2, LONG_DATA);
    first_two.insert(first_two.end(), second.begin(), second.end());
    std::vector<std::uint8_t> mixed = first_two;
    const std::vector<std::uint8_t> short_one = payload(3);
    mixed.insert(mixed.begin() + LONG_DATA, short_one.begin(), short_one.end());

    struct Case {
        const char* name;
        std::vector<Step> steps;
        bool wakes;        // the host sends its byte at the monitor's rate
        std::string sent;  // after the FAST line and the K
        std::vector<std::uint8_t> stored;
        std::string trace;
    };
    const Case cases[] = {
        {"EOT",
         {long_packet(1, 1), long_packet(2, 2), byte(EOT)},
         true,
         answers("NAAA") + success(first_two),
         first_two,
         "PPD"},
        {"no byte from the host: the verdict after the end wait",
         {long_packet(1, 1), byte(EOT)},
         false,
         answers("NAA") + success(first),
         first,
         "PD"},
        {"a bad checksum on a 1024-byte packet: NAK, and the resend is taken",
         {long_packet(1, 1), long_bad_checksum(2, 2), long_packet(2, 2), byte(EOT)},
         true,
         answers("NANAA") + success(first_two),
         first_two,
         "PCPD"},
        {"a 1024-byte packet with a damaged STX is dropped whole",
         {long_packet(1, 1), damaged(2, 2, 0, 'x', {}, LONG_DATA), long_packet(2, 2), byte(EOT)},
         true,
         answers("NANAA") + success(first_two),
         first_two,
         "PNPD"},
        {"a repeated 1024-byte block is acknowledged and not counted again",
         {long_packet(1, 1), long_packet(1, 1), long_packet(2, 2), byte(EOT)},
         true,
         answers("NAAAA") + success(first_two),
         first_two,
         "PRPD"},
        {"a 1024-byte packet cut short times out, and its resend counts once",
         {long_packet(1, 1), long_truncated(2, 2), long_packet(2, 2), byte(EOT)},
         true,
         answers("NANAA") + success(first_two),
         first_two,
         "PTPD"},
        {"1024- and 128-byte packets mixed in block order",
         {long_packet(1, 1), packet(2, 3), long_packet(3, 2), byte(EOT)},
         true,
         answers("NAAAA") + success(mixed),
         mixed,
         "PPPD"},
        {"CAN, CAN", {long_packet(1, 1), raw({CAN, CAN})}, true, answers("NAA") + failed("ABORTED"), first, "PA"},
        // The host hears both CANs before it goes back to the monitor's rate.
        {"wrong blocks use up the budget",
         join({times(BUDGET, long_packet(9, 9)), {silence()}}),
         true,
         answers("N" + std::string(BUDGET - 1, 'N') + "CC") + failed("WRONG BLK"),
         {},
         std::string(BUDGET, 'W')},
        // Twenty time-outs: about five seconds in emulation.
        {"silence times out until the budget runs out",
         times(BUDGET + 1, silence()),
         true,
         answers(std::string(BUDGET, 'N') + "CC") + failed("TIMEOUT"),
         {},
         std::string(BUDGET, 'T')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoaderMachine machine;
        machine.set_uart(MONITOR_DIVISOR, LCR_PATTERN);
        ask_for(machine, 1);
        sync(machine);
        play(machine, c.steps);
        if (c.wakes)
            wake(machine);
        else
            machine.host_rate(MONITOR_RATE);
        machine.run(LOADER_FAST_ENTRY);

        EXPECT_EQ(machine.sent, fast_line(MONITOR_DIVISOR) + "K" + c.sent);
        EXPECT_EQ(machine.read(RAM_RECEIVE_AREA, c.stored.size()), c.stored);
        std::vector<std::uint8_t> ring = machine.read(TRACE_RING, c.trace.size() + 1);
        EXPECT_EQ(std::string(ring.begin(), ring.end()), c.trace + std::string(1, '\0'));
        EXPECT_EQ(machine.divisors, (std::vector<std::uint16_t>{MONITOR_DIVISOR, 1, MONITOR_DIVISOR}));
        expect_uart_given_back(machine, MONITOR_DIVISOR, LCR_PATTERN);
        expect_clean_run(machine, c.stored.size(), LONG_DATA);
    }
}

namespace {

// A sender whose line never falls quiet: a byte is waiting at every poll.
class EndlessNoise : public LinePeer {
public:
    int receive() override {
        ++sent;
        return 'x';
    }
    void deliver(std::uint8_t) override {}
    std::uint64_t sent = 0;
};

}  // namespace

// A purge that never finds a quiet line gives up after its polls and counts
// as one failure: twenty of them end the transfer like any other failures.
TEST(LoaderReceive, EndlessNoiseEndsEachPurgeAndThenTheTransfer) {
    LoaderMachine machine;
    EndlessNoise noise;
    machine.pause();
    machine.attach(&noise);
    machine.run();

    EXPECT_EQ(machine.sent, answers(std::string(BUDGET, 'N') + "CC") + failed("NOISE"));
    // Each failure: the first byte, then one byte per poll of its purge.
    EXPECT_LE(noise.sent, static_cast<std::uint64_t>(BUDGET * (PURGE_POLLS + 1) + machine.sent.size()));
    EXPECT_GE(noise.sent, static_cast<std::uint64_t>(BUDGET * PURGE_POLLS));
    expect_clean_run(machine, 0);
}

namespace {

// Plays packets once the script is done, one batch per answer heard; before
// the first, it moves the loader's destination close to the receive limit, as
// if 0x670000 bytes had come already (the variable is found by its value).
class NearTheLimit : public LinePeer {
public:
    NearTheLimit(LoaderMachine& machine, std::uint32_t destination_now, std::uint32_t moved_to,
                 std::vector<std::vector<std::uint8_t>> batches)
        : machine_(machine), now_(destination_now), moved_to_(moved_to), batches_(std::move(batches)) {}

    int receive() override {
        if (!moved_) {
            moved_ = true;
            const std::uint32_t variable = machine_.find_word(0xA0080000, 0xFE0, now_);
            EXPECT_NE(variable, 0u) << "the loader's destination variable";
            if (variable != 0) machine_.write_word(variable, moved_to_);
        }
        if (pending_.empty()) return -1;
        const std::uint8_t byte = pending_.front();
        pending_.erase(pending_.begin());
        return byte;
    }

    void deliver(std::uint8_t byte) override {
        if (byte == CAN || next_ >= batches_.size()) return;
        pending_ = batches_[next_++];
    }

    void start() { pending_ = batches_[next_++]; }

private:
    LoaderMachine& machine_;
    std::uint32_t now_;
    std::uint32_t moved_to_;
    std::vector<std::vector<std::uint8_t>> batches_;
    std::size_t next_ = 0;
    std::vector<std::uint8_t> pending_;
    bool moved_ = false;
};

void expect_nothing_stored_past_the_limit(const LoaderMachine& machine) {
    for (const StoreRecord& store : machine.stores)
        EXPECT_LE(store.physical + store.size, DEST_END & PHYS_MASK)
            << std::hex << "store of " << store.size << " bytes at physical 0x" << store.physical;
}

}  // namespace

// The packet that fills the limit is taken, and so is its repeat; the next is
// refused with CAN, CAN, and nothing lands past the limit.
TEST(LoaderReceive, APacketPastTheReceiveLimitEndsTheTransferWithCan) {
    {
        SCOPED_TRACE("128-byte packets");
        LoaderMachine machine;
        machine.pause();
        machine.send(packet_bytes(1, payload(1)));
        machine.pause();
        NearTheLimit peer(machine, RAM_RECEIVE_AREA + DATA, DEST_END - DATA,
                          {packet_bytes(2, payload(2)), packet_bytes(2, payload(2)), packet_bytes(3, payload(3))});
        peer.start();
        machine.attach(&peer);
        machine.fill(DEST_END, DATA, 0xEE);
        machine.run();

        EXPECT_EQ(machine.sent, answers("NAAACC") + failed("TOO LARGE"));
        EXPECT_EQ(machine.read(DEST_END - DATA, DATA), payload(2));
        EXPECT_EQ(machine.read(DEST_END, DATA), std::vector<std::uint8_t>(DATA, 0xEE));
        expect_nothing_stored_past_the_limit(machine);
    }
    {
        SCOPED_TRACE("1024-byte packets");
        LoaderMachine machine;
        stay(machine);
        sync(machine);
        machine.pause();
        machine.send(packet_bytes(1, payload(1, LONG_DATA)));
        machine.pause();
        NearTheLimit peer(machine, RAM_RECEIVE_AREA + LONG_DATA, DEST_END - LONG_DATA,
                          {packet_bytes(2, payload(2, LONG_DATA)), packet_bytes(3, payload(3, LONG_DATA))});
        peer.start();
        machine.attach(&peer);
        machine.fill(DEST_END, LONG_DATA, 0xEE);
        machine.run(LOADER_FAST_ENTRY);

        EXPECT_EQ(machine.sent, fast_line(MONITOR_DIVISOR) + "K" + answers("NAACC") + failed("TOO LARGE"));
        EXPECT_EQ(machine.read(DEST_END - LONG_DATA, LONG_DATA), payload(2, LONG_DATA));
        EXPECT_EQ(machine.read(DEST_END, LONG_DATA), std::vector<std::uint8_t>(LONG_DATA, 0xEE));
        expect_nothing_stored_past_the_limit(machine);
    }
}

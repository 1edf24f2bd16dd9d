// The loader's receive behaviour, on the real image in emulation: what it
// answers, what it stores, what it writes as its verdict (with the CRC-32 of
// what it stored, as zlib computes it), and that it returns to its caller with
// nothing touched outside its own memory.
#include "firmware/loader_machine.h"

#include "transfer/control_bytes.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t DATA = 128;                   // data bytes per packet
// The loader's own memory: image with variables, trace ring, packet buffer.
constexpr std::uint32_t LOADER_IMAGE = 0xA0080000;
constexpr std::size_t LOADER_IMAGE_SIZE = 0xFE0;
constexpr std::uint32_t TRACE_RING = 0xA0081000;
constexpr std::size_t TRACE_RING_SIZE = 4095;
constexpr std::uint32_t PACKET_BUFFER = 0xA0082000;
constexpr std::uint32_t LOADER_MEMORY_END = 0xA0082080;
constexpr std::size_t STACK_ROOM = 0x100;           // what the loader may use below sp
constexpr long POLLS_PER_TIMEOUT = 5000000;
constexpr int BUDGET = 20;

// Data of a packet: differs between packets and between positions in one.
std::vector<std::uint8_t> payload(int seed)
{
    std::vector<std::uint8_t> data(DATA);
    for (std::size_t i = 0; i < DATA; i++)
        data[i] = static_cast<std::uint8_t>(seed * 37 + i * 11 + (seed >> 8));
    return data;
}

std::vector<std::uint8_t> packet_bytes(std::uint8_t block, const std::vector<std::uint8_t>& data,
                                       int checksum_error = 0)
{
    std::vector<std::uint8_t> bytes = {SOH, block, static_cast<std::uint8_t>(~block)};
    std::uint8_t sum = 0;
    for (std::uint8_t byte : data) {
        bytes.push_back(byte);
        sum += byte;
    }
    bytes.push_back(static_cast<std::uint8_t>(sum + checksum_error));
    return bytes;
}

// One move of the sender. Everything but silence is followed by a wait for the
// loader's answer, as a sender does.
struct Step {
    enum Kind { Packet, BadChecksum, Truncated, Byte, Silence } kind;
    std::uint8_t value;  // block number, or the byte
    int seed = 0;        // data of a packet
};

Step packet(std::uint8_t block, int seed) { return {Step::Packet, block, seed}; }
Step bad_checksum(std::uint8_t block, int seed) { return {Step::BadChecksum, block, seed}; }
Step truncated(std::uint8_t block, int seed) { return {Step::Truncated, block, seed}; }
Step byte(std::uint8_t value) { return {Step::Byte, value}; }
Step silence() { return {Step::Silence, 0}; }

std::vector<Step> times(int count, Step step)
{
    return std::vector<Step>(count, step);
}

std::vector<Step> join(std::initializer_list<std::vector<Step>> parts)
{
    std::vector<Step> all;
    for (const std::vector<Step>& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The sender first waits for the loader's opening NAK.
void play(LoaderMachine& machine, const std::vector<Step>& steps)
{
    machine.pause();
    for (const Step& step : steps) {
        switch (step.kind) {
        case Step::Packet:
            machine.send(packet_bytes(step.value, payload(step.seed)));
            break;
        case Step::BadChecksum:
            machine.send(packet_bytes(step.value, payload(step.seed), 1));
            break;
        case Step::Truncated: {
            std::vector<std::uint8_t> bytes = packet_bytes(step.value, payload(step.seed));
            bytes.resize(bytes.size() / 2);
            machine.send(bytes);
            break;
        }
        case Step::Byte:
            machine.send({step.value});
            break;
        case Step::Silence:
            break;
        }
        machine.pause();
    }
}

// "ANN" -> ACK NAK NAK
std::string answers(const std::string& letters)
{
    std::string bytes;
    for (char letter : letters)
        bytes.push_back(static_cast<char>(letter == 'A' ? ACK : NAK));
    return bytes;
}

std::string failed(const std::string& status)
{
    return status + "\r\nDownload Failed!\r\n";
}

// The verdict of a successful transfer that stored these bytes.
std::string success(const std::vector<std::uint8_t>& stored)
{
    const unsigned long crc = crc32(0, stored.data(), static_cast<uInt>(stored.size()));
    char line[32];
    std::snprintf(line, sizeof line, "CRC32 %08lx %08zx\r\n", crc, stored.size());
    return "Download Successful\r\n" + std::string(line);
}

std::vector<std::uint8_t> joined_payloads(const std::vector<int>& seeds)
{
    std::vector<std::uint8_t> bytes;
    for (int seed : seeds) {
        std::vector<std::uint8_t> data = payload(seed);
        bytes.insert(bytes.end(), data.begin(), data.end());
    }
    return bytes;
}

// A whole transfer of data (a multiple of 128 bytes): the packets in order, then EOT.
void play_file(LoaderMachine& machine, const std::vector<std::uint8_t>& data)
{
    machine.pause();
    for (std::size_t n = 0; n * DATA < data.size(); n++) {
        std::vector<std::uint8_t> packet(data.begin() + n * DATA, data.begin() + (n + 1) * DATA);
        machine.send(packet_bytes(static_cast<std::uint8_t>(n + 1), packet));
        machine.pause();
    }
    machine.send({EOT});
    machine.pause();
}

std::vector<std::uint8_t> random_bytes(std::mt19937& random, std::size_t count)
{
    std::vector<std::uint8_t> bytes(count);
    for (std::uint8_t& byte : bytes)
        byte = static_cast<std::uint8_t>(random());
    return bytes;
}

bool inside(std::uint32_t physical, int size, std::uint32_t start, std::size_t length)
{
    start &= PHYS_MASK;
    return physical >= start && physical + size <= start + length;
}

// What holds after every run: a clean return, the gate bit around every byte
// sent, and stores only to the loader's memory, the caller's stack and the
// received data.
void expect_clean_run(const LoaderMachine& machine, std::size_t received_bytes)
{
    EXPECT_EQ(machine.error, UC_ERR_OK) << uc_strerror(machine.error);
    EXPECT_EQ(machine.return_problem, "");

    std::string toggles;
    for (std::size_t i = 0; i < machine.sent.size(); i++)
        toggles += "LXH";
    EXPECT_EQ(machine.gate_trace, toggles);
    EXPECT_TRUE(machine.gate_other_bits_kept);

    for (const StoreRecord& store : machine.stores) {
        bool allowed = inside(store.physical, store.size, LOADER_IMAGE, LOADER_IMAGE_SIZE) ||
                       inside(store.physical, store.size, TRACE_RING, TRACE_RING_SIZE) ||
                       inside(store.physical, store.size, PACKET_BUFFER, DATA) ||
                       inside(store.physical, store.size, machine.stack_top - STACK_ROOM, STACK_ROOM) ||
                       inside(store.physical, store.size, RECEIVE_AREA, received_bytes);
        EXPECT_TRUE(allowed) << std::hex << "store of " << store.size << " bytes at physical 0x"
                             << store.physical;
    }
}

}  // namespace

// Enough packets to wrap the block number many times and the trace ring once.
TEST(LoaderReceive, TakesThousandsOfPacketsInOrderAcrossEveryWrap)
{
    constexpr int PACKETS = 4200;
    constexpr std::size_t SHORT_BY = 50;  // the last packet is partly filler
    std::vector<std::uint8_t> file(PACKETS * DATA - SHORT_BY);
    for (std::size_t i = 0; i < file.size(); i++)
        file[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    std::vector<std::uint8_t> expected = file;
    expected.resize(PACKETS * DATA, XMODEM_FILLER);

    LoaderMachine machine;
    machine.fill(RECEIVE_AREA, expected.size() + DATA, 0xEE);
    play_file(machine, expected);
    machine.run();

    EXPECT_EQ(machine.sent, answers("N" + std::string(PACKETS + 1, 'A')) + success(expected));
    EXPECT_EQ(machine.read(RECEIVE_AREA, expected.size()), expected);
    EXPECT_EQ(machine.read(RECEIVE_AREA + expected.size(), DATA),
              std::vector<std::uint8_t>(DATA, 0xEE));
    // 4,201 outcomes in 4,095 places: the newest, EOT's, sits after the wrap.
    std::string ring(TRACE_RING_SIZE, 'P');
    ring[(PACKETS) % TRACE_RING_SIZE] = 'D';
    ring[(PACKETS + 1) % TRACE_RING_SIZE] = '\0';
    std::vector<std::uint8_t> stored_ring = machine.read(TRACE_RING, TRACE_RING_SIZE);
    EXPECT_EQ(std::string(stored_ring.begin(), stored_ring.end()), ring);
    expect_clean_run(machine, expected.size());
}

TEST(LoaderReceive, AnswersEachOutcomeAndStopsWhereItShould)
{
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::string sent;
        std::vector<int> stored;  // seeds of the packets found at 0x80090000
        std::string trace;        // the trace ring's codes, oldest first
    };
    const Case cases[] = {
        {"a repeated block is refused and the transfer goes on",
         {packet(1, 1), packet(1, 1), packet(2, 2), byte(EOT)},
         answers("NANAA") + success(joined_payloads({1, 2})), {1, 2}, "PWPD"},
        {"a block from the future is refused",
         {packet(1, 1), packet(3, 3), packet(2, 2), byte(EOT)},
         answers("NANAA") + success(joined_payloads({1, 2})), {1, 2}, "PWPD"},
        {"a bad checksum is refused and ends the transfer",
         {packet(1, 1), bad_checksum(2, 2), packet(2, 2)},
         answers("NAN") + failed("BAD CHKSUM"), {1}, "PC"},
        {"a wrong block number is judged before the checksum",
         {bad_checksum(5, 5), packet(1, 1), byte(EOT)},
         answers("NNAA") + success(joined_payloads({1})), {1}, "WPD"},
        {"CAN is acknowledged and ends the transfer",
         {packet(1, 1), byte(CAN)},
         answers("NAA") + failed("ABORTED"), {1}, "PA"},
        {"any other first byte is taken as an abort",
         {byte('x')},
         answers("NA") + failed("ABORTED"), {}, "A"},
        {"EOT before any packet ends successfully",
         {byte(EOT)},
         answers("NA") + success(joined_payloads({})), {}, "D"},
        {"twenty failures in a row use up the budget",
         times(BUDGET, packet(9, 9)),
         answers("N" + std::string(BUDGET, 'N')) + failed("WRONG BLK"), {},
         std::string(BUDGET, 'W')},
        {"an accepted packet restores the budget",
         join({times(BUDGET - 1, packet(9, 9)), {packet(1, 1)}, times(BUDGET - 1, packet(9, 9)),
               {packet(2, 2), byte(EOT)}}),
         answers("N" + std::string(BUDGET - 1, 'N') + "A" + std::string(BUDGET - 1, 'N') + "AA") +
             success(joined_payloads({1, 2})),
         {1, 2}, std::string(BUDGET - 1, 'W') + "P" + std::string(BUDGET - 1, 'W') + "PD"},
        {"EOT that spends the last unit of the budget is not a success",
         join({times(BUDGET - 1, packet(9, 9)), {byte(EOT)}}),
         answers("N" + std::string(BUDGET - 1, 'N') + "A") + failed("DONE"), {},
         std::string(BUDGET - 1, 'W') + "D"},
        {"a silent sender times out once and the transfer goes on",
         {packet(1, 1), silence(), packet(2, 2), byte(EOT)},
         answers("NANAA") + success(joined_payloads({1, 2})), {1, 2}, "PTPD"},
        {"a packet cut short times out, and its resend is taken",
         {packet(1, 1), truncated(2, 2), packet(2, 2), byte(EOT)},
         answers("NANAA") + success(joined_payloads({1, 2})), {1, 2}, "PTPD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoaderMachine machine;
        play(machine, c.steps);
        machine.run();

        EXPECT_EQ(machine.sent, c.sent);
        std::vector<std::uint8_t> stored = joined_payloads(c.stored);
        EXPECT_EQ(machine.read(RECEIVE_AREA, stored.size()), stored);
        std::vector<std::uint8_t> ring = machine.read(TRACE_RING, c.trace.size() + 1);
        EXPECT_EQ(std::string(ring.begin(), ring.end()), c.trace + std::string(1, '\0'));
        expect_clean_run(machine, stored.size());
    }
}

// Every transfer restarts the entry on the loader uploaded once: state left by
// the previous run must not leak into the next.
TEST(LoaderReceive, ASecondRunInTheSameMemoryBehavesLikeTheFirst)
{
    // Leaves a moved destination, block 4 expected, a spent budget unit and a trace.
    const std::vector<Step> steps = {packet(1, 1), packet(2, 2), packet(3, 3), byte(CAN)};
    const std::size_t received = 3 * DATA;

    LoaderMachine machine;
    play(machine, steps);
    machine.run();
    expect_clean_run(machine, received);
    const std::string first_sent = machine.sent;
    const std::vector<std::uint8_t> first_loader =
        machine.read(LOADER_IMAGE, LOADER_MEMORY_END - LOADER_IMAGE);
    const std::vector<std::uint8_t> first_data = machine.read(RECEIVE_AREA, 2 * received);
    EXPECT_EQ(first_sent, answers("NAAAA") + failed("ABORTED"));

    play(machine, steps);
    machine.run();
    expect_clean_run(machine, received);
    EXPECT_EQ(machine.sent, first_sent);
    EXPECT_EQ(machine.read(LOADER_IMAGE, LOADER_MEMORY_END - LOADER_IMAGE), first_loader);
    EXPECT_EQ(machine.read(RECEIVE_AREA, 2 * received), first_data);
}

// The CRC line must be zlib's crc32 of exactly the bytes stored, whatever the
// data, and the byte count in the same line.
TEST(LoaderCrc, IsZlibsCrcOfTheStoredBytesOverPacketsOfRandomData)
{
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
TEST(LoaderCrc, SeesTwoSwappedBytesThatTheChecksumLetsThrough)
{
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
TEST(LoaderCrc, StartsAfreshOnEveryRun)
{
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
TEST(LoaderReceive, SilenceTimesOutUntilTheBudgetRunsOut)
{
    LoaderMachine machine;
    play(machine, {});
    machine.run();

    EXPECT_EQ(machine.sent, answers(std::string(1 + BUDGET, 'N')) + failed("TIMEOUT"));
    // Each time-out is exactly its poll count; sending polls once per byte.
    EXPECT_EQ(machine.silent_polls,
              static_cast<std::uint64_t>(BUDGET * POLLS_PER_TIMEOUT + machine.sent.size()));
    expect_clean_run(machine, 0);
}

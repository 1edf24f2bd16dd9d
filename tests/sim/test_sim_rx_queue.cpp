// SPDX-License-Identifier: GPL-2.0-or-later
// The receive queue: pacing, the faults it applies, and the loss mark as both
// of the line's consumers (the monitor and the UART) see it.
#include "line.h"
#include "pacing.h"
#include "rx_queue.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

struct Arrival {
    uint8_t value;
    int64_t at_ns;
};

struct PacingCase {
    const char* name;
    int64_t byte_ns;
    std::vector<Arrival> arrivals;
    std::vector<int64_t> releases;
};

void PrintTo(const PacingCase& c, std::ostream* os) { *os << c.name; }

class RxPacing : public testing::TestWithParam<PacingCase> {};

TEST_P(RxPacing, NoByteIsReadyBeforeItsRelease) {
    const PacingCase& c = GetParam();
    RxQueue q;
    FaultState faults;
    for (const Arrival& a : c.arrivals) rx_push(q, a.value, a.at_ns, c.byte_ns);
    for (size_t i = 0; i < c.releases.size(); ++i) {
        SCOPED_TRACE("byte " + std::to_string(i));
        rx_settle_front(q, faults, FaultPlan{}, false);
        ASSERT_EQ(rx_front_release(q), c.releases[i]);
        EXPECT_FALSE(rx_front_ready(q, c.releases[i] - 1));
        ASSERT_TRUE(rx_front_ready(q, c.releases[i]));
        const RxByte b = rx_take_front(q);
        EXPECT_EQ(b.value, c.arrivals[i].value);
        EXPECT_FALSE(b.altered);
    }
    EXPECT_EQ(rx_front_release(q), INT64_MAX);
    EXPECT_FALSE(rx_front_ready(q, INT64_MAX));
}

INSTANTIATE_TEST_SUITE_P(Cases, RxPacing,
                         testing::Values(
                             // A burst from the host queues behind itself, one byte time apart.
                             PacingCase{"burst", 100, {{'a', 1000}, {'b', 1000}, {'c', 1000}}, {1100, 1200, 1300}},
                             // A byte that arrives after the line went idle starts from its own arrival.
                             PacingCase{"after_idle", 100, {{'a', 1000}, {'b', 5000}}, {1100, 5100}},
                             // A byte that arrives while earlier ones are still crossing waits for them.
                             PacingCase{"while_busy", 100, {{'a', 1000}, {'b', 1000}, {'c', 1150}}, {1100, 1200, 1300}},
                             PacingCase{"unpaced", 0, {{'a', 1000}, {'b', 1000}, {'c', 2000}}, {1000, 1000, 2000}}),
                         [](const testing::TestParamInfo<PacingCase>& i) { return std::string(i.param.name); });

TEST(RxQueue, AByteWhoseFateIsNotDrawnIsNotReady) {
    RxQueue q;
    rx_push(q, 'a', 0, 0);
    EXPECT_FALSE(rx_front_ready(q, 0)) << "an unsettled byte would slip past the fault draw";
}

// What a take should give: a value (ANY: unchecked; NOT_ORIGINAL: anything
// but the first byte pushed) and whether it is marked altered.
constexpr int ANY = -1;
constexpr int NOT_ORIGINAL = -2;

struct Taken {
    int value;
    bool altered;
};

struct FaultCase {
    const char* name;
    FaultPlan plan;
    bool active;
    std::vector<Taken> taken;
    RxFaultCounts counts;
};

FaultPlan certain(double FaultPlan::*kind) {
    FaultPlan p;
    p.*kind = 1.0;
    return p;
}

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class RxFaults : public testing::TestWithParam<FaultCase> {};

// 'A' meets the fault; 'B' comes after, with faults off.
TEST_P(RxFaults, FaultHitsTheFrontByteAndMarksWhatItChanged) {
    const FaultCase& c = GetParam();
    RxQueue q;
    FaultState faults;
    fault_rng_seed(faults.rng, 5);
    rx_push(q, 'A', 0, 0);
    rx_settle_front(q, faults, c.plan, c.active);
    rx_push(q, 'B', 0, 0);

    std::vector<RxByte> got;
    for (;;) {
        rx_settle_front(q, faults, c.plan, false);
        if (!rx_front_ready(q, 0)) break;
        got.push_back(rx_take_front(q));
    }
    ASSERT_EQ(got.size(), c.taken.size());
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE("byte " + std::to_string(i));
        if (c.taken[i].value == NOT_ORIGINAL) {
            EXPECT_NE(got[i].value, 'A');
        } else if (c.taken[i].value != ANY) {
            EXPECT_EQ(got[i].value, c.taken[i].value);
        }
        EXPECT_EQ(got[i].altered, c.taken[i].altered);
    }
    EXPECT_EQ(q.counts.dropped, c.counts.dropped);
    EXPECT_EQ(q.counts.corrupted, c.counts.corrupted);
    EXPECT_EQ(q.counts.inserted, c.counts.inserted);
    EXPECT_FALSE(q.mark_next_altered);
}

FaultPlan every_fault() {
    FaultPlan p;
    p.rx_drop = p.rx_corrupt = p.rx_noise = 1.0;
    return p;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RxFaults,
    testing::Values(
        FaultCase{"none", FaultPlan{}, true, {{'A', false}, {'B', false}}, {}},
        FaultCase{"off", every_fault(), false, {{'A', false}, {'B', false}}, {}},
        // The loss shows on the byte after it, the only sign the receiver can get.
        FaultCase{"drop", certain(&FaultPlan::rx_drop), true, {{'B', true}}, {1, 0, 0}},
        FaultCase{"corrupt", certain(&FaultPlan::rx_corrupt), true, {{NOT_ORIGINAL, true}, {'B', false}}, {0, 1, 0}},
        FaultCase{"insert", certain(&FaultPlan::rx_noise), true, {{ANY, true}, {'A', false}, {'B', false}}, {0, 0, 1}}),
    [](const testing::TestParamInfo<FaultCase>& i) { return std::string(i.param.name); });

void push_held(Line& l, uint8_t value) {
    std::lock_guard g(l.mu);
    rx_push(l.rx, value, monotonic_ns(), l.byte_ns);
}

// With --faults-everywhere the monitor's reads meet faults too. A byte lost
// under the monitor marks the next byte the monitor reads, not a program's
// byte long after: that would count an intact packet as damaged.
TEST(RxQueueOnTheLine, ALossUnderTheMonitorIsNotCarriedIntoAProgram) {
    Line l;  // never opened: the test feeds the queue itself
    l.plan.rx_drop = 1.0;
    line_set_faults_active(l, true);
    push_held(l, 'X');
    EXPECT_EQ(line_get(l, 0), -1) << "'X' was not lost";
    line_set_faults_active(l, false);

    push_held(l, 'Y');
    EXPECT_EQ(line_get(l, 0), 'Y');
    push_held(l, 'Z');
    ASSERT_TRUE(line_ready(l));
    const RxByte z = line_take(l);
    EXPECT_EQ(z.value, 'Z');
    EXPECT_FALSE(z.altered) << "the monitor's loss was charged to the program's byte";
    EXPECT_EQ(line_counters(l).rx_dropped, 1u);
}

// The UART's FIFO in front of the queue: bytes enter at their release, a full
// FIFO loses what comes, and the byte after a loss carries the mark.
struct FifoCase {
    const char* name;
    size_t capacity;
    int pushed;                  // bytes 'a', 'b', ... from time 0, one every 100 ns
    std::vector<int64_t> reads;  // the FIFO's first byte read at each of these times
    int64_t end;                 // everything left is admitted at this time
    std::string taken;           // what the reads and the drain at the end take, in order
    std::vector<size_t> marked;  // indexes in `taken` of bytes marked altered
    uint64_t lost;
};

void PrintTo(const FifoCase& c, std::ostream* os) { *os << c.name; }

class RxFifo : public testing::TestWithParam<FifoCase> {};

TEST_P(RxFifo, AFullFifoLosesWhatArrivesAndMarksTheNextByte) {
    const FifoCase& c = GetParam();
    RxQueue q;
    FaultState faults;
    for (int i = 0; i < c.pushed; ++i) rx_push(q, static_cast<uint8_t>('a' + i), 0, 100);
    std::string taken;
    std::vector<size_t> marked;
    auto take = [&] {
        const RxByte b = rx_take_front(q);
        if (b.altered) marked.push_back(taken.size());
        taken.push_back(static_cast<char>(b.value));
    };
    uint64_t lost = 0;
    for (int64_t at : c.reads) {
        lost += rx_admit(q, at, c.capacity, faults, FaultPlan{}, false);
        ASSERT_GT(q.admitted, 0u) << "nothing to read at " << at;
        take();
    }
    lost += rx_admit(q, c.end, c.capacity, faults, FaultPlan{}, false);
    EXPECT_LE(q.admitted, c.capacity);
    while (q.admitted > 0) take();
    EXPECT_EQ(taken, c.taken);
    EXPECT_EQ(marked, c.marked);
    EXPECT_EQ(lost, c.lost);
    EXPECT_EQ(q.counts.overrun, c.lost);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RxFifo,
    testing::Values(FifoCase{"sixteen_fit", 16, 16, {}, 5000, "abcdefghijklmnop", {}, 0},
                    // The 17th comes while sixteen wait: it is lost.
                    FifoCase{"seventeenth_lost", 16, 17, {}, 5000, "abcdefghijklmnop", {}, 1},
                    // Each read makes room just in time for the next byte.
                    FifoCase{"read_in_time", 16, 18, {1600, 1700}, 5000, "abcdefghijklmnopqr", {}, 0},
                    // The same reads a byte time later are too late for 'q'; 'r' shows the loss.
                    FifoCase{"read_too_late", 16, 18, {1700, 1800}, 5000, "abcdefghijklmnopr", {16}, 1},
                    // An unpaced line's FIFO has no limit.
                    FifoCase{"unlimited", SIZE_MAX, 20, {}, 5000, "abcdefghijklmnopqrst", {}, 0}),
    [](const testing::TestParamInfo<FifoCase>& i) { return std::string(i.param.name); });

TEST(RxFifoMark, ALossAtTheEndMarksTheByteThatComesNext) {
    RxQueue q;
    FaultState faults;
    for (char c : {'a', 'b', 'c'}) rx_push(q, static_cast<uint8_t>(c), 0, 100);
    EXPECT_EQ(rx_admit(q, 300, 2, faults, FaultPlan{}, false), 1u);
    EXPECT_EQ(rx_take_front(q).altered, false);
    EXPECT_EQ(rx_take_front(q).altered, false) << "the byte before the loss was marked";
    rx_push(q, 'd', 1000, 100);
    rx_admit(q, 1100, 2, faults, FaultPlan{}, false);
    const RxByte d = rx_take_front(q);
    EXPECT_EQ(d.value, 'd');
    EXPECT_TRUE(d.altered);
}

// Faults meet a byte as it enters the FIFO, so a dropped byte takes no room.
TEST(RxFifoFaults, ADroppedByteTakesNoPlaceInTheFifo) {
    RxQueue q;
    FaultState faults;
    fault_rng_seed(faults.rng, 5);
    FaultPlan plan;
    plan.rx_drop = 1.0;
    rx_push(q, 'a', 0, 100);
    FaultPlan none;
    rx_admit(q, 100, 1, faults, plan, true);  // 'a' is dropped
    EXPECT_EQ(q.admitted, 0u);
    rx_push(q, 'b', 0, 100);
    EXPECT_EQ(rx_admit(q, 1000, 1, faults, none, true), 0u);
    const RxByte b = rx_take_front(q);
    EXPECT_EQ(b.value, 'b');
    EXPECT_TRUE(b.altered);
    EXPECT_EQ(q.counts.dropped, 1u);
    EXPECT_EQ(q.counts.overrun, 0u);
}

}  // namespace

namespace {

// The rest of a packet behind its SOH, queued as the host sent it: block 1,
// its complement, 128 data bytes 0x10.., the checksum.
RxQueue queued_packet_rest(size_t count, unsigned data_size = 128) {
    std::vector<uint8_t> rest = {1, 0xFE};
    for (unsigned i = 0; i < data_size; ++i) rest.push_back(static_cast<uint8_t>(0x10 + i * 7));
    rest.push_back(0x40);
    RxQueue q;
    for (size_t i = 0; i < count; ++i) rx_push(q, rest[i], 0, 0);
    return q;
}

// Swapped bytes carry the altered mark, so that the packet watch counts the packet as damaged.
TEST(RxPacketSwap, SwapsTwoQueuedDataBytesAndMarksThem) {
    struct Case {
        const char* what;
        size_t queued;  // bytes of the packet's rest already from the host
        bool faults_active;
        bool swaps;
        unsigned data_size = 128;
    };
    const Case cases[] = {
        {"the whole packet queued", 131, true, true},
        {"part of the data queued", 40, true, true},
        {"only the block number queued", 2, true, false},
        {"faults off", 131, false, false},
        {"a whole 1024-byte packet queued", 1027, true, true, 1024},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FaultPlan plan;
        plan.rx_swap = 1.0;
        FaultState faults;
        fault_rng_seed(faults.rng, 9);
        RxQueue q = queued_packet_rest(c.queued, c.data_size);
        const RxQueue before = q;
        rx_packet_started(q, faults, plan, c.faults_active, c.data_size);
        EXPECT_EQ(q.counts.swapped, c.swaps ? 1u : 0u);
        std::vector<size_t> changed;
        unsigned sum_before = 0, sum_after = 0;
        for (size_t i = 0; i < q.bytes.size(); ++i) {
            sum_before += before.bytes[i].value;
            sum_after += q.bytes[i].value;
            if (q.bytes[i].value != before.bytes[i].value) {
                changed.push_back(i);
                EXPECT_TRUE(q.bytes[i].altered);
            } else {
                EXPECT_FALSE(q.bytes[i].altered);
            }
        }
        EXPECT_EQ(sum_after, sum_before);
        if (!c.swaps) {
            EXPECT_TRUE(changed.empty());
            continue;
        }
        ASSERT_EQ(changed.size(), 2u);
        // Only data bytes: never the block number, its complement or the checksum.
        EXPECT_GE(changed[0], 2u);
        EXPECT_LE(changed[1], 1u + c.data_size);
        EXPECT_LT(changed[1], c.queued);
    }
}

}  // namespace

// SPDX-License-Identifier: GPL-2.0-or-later
// Seeded fault decisions, and the watch that tells damaged packets apart.
#include "faults.h"
#include "packet_watch.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<ByteFate> fates(uint64_t seed, const FaultPlan& plan, int count) {
    FaultState s;
    fault_rng_seed(s.rng, seed);
    std::vector<ByteFate> out;
    for (int i = 0; i < count; ++i) out.push_back(decide_rx_fate(s, plan, static_cast<uint8_t>(i)));
    return out;
}

TEST(FaultDecisions, SameSeedSameFaultsOtherSeedOtherFaults) {
    FaultPlan plan;
    plan.rx_drop = plan.rx_corrupt = plan.rx_noise = 0.05;
    auto kinds = [](const std::vector<ByteFate>& f) {
        std::vector<int> k;
        for (const ByteFate& b : f) k.push_back(static_cast<int>(b.kind) * 256 + b.value);
        return k;
    };
    EXPECT_EQ(kinds(fates(7, plan, 5000)), kinds(fates(7, plan, 5000)));
    EXPECT_NE(kinds(fates(7, plan, 5000)), kinds(fates(8, plan, 5000)));
}

TEST(FaultDecisions, NoProbabilityNoFault) {
    for (const ByteFate& f : fates(1, FaultPlan{}, 10000)) EXPECT_EQ(f.kind, FateKind::keep);
}

TEST(FaultDecisions, CorruptionBurstChangesThatManyConsecutiveBytes) {
    FaultPlan plan;
    plan.rx_corrupt = 0.001;
    plan.burst = 4;
    const auto f = fates(3, plan, 200000);
    size_t i = 0;
    int bursts = 0;
    while (i < f.size()) {
        if (f[i].kind != FateKind::corrupt) {
            ++i;
            continue;
        }
        size_t run = 0;
        while (i < f.size() && f[i].kind == FateKind::corrupt) {
            EXPECT_NE(f[i].value, static_cast<uint8_t>(i)) << "a corrupted byte kept its value";
            ++run;
            ++i;
        }
        EXPECT_EQ(run % 4, 0u);
        ++bursts;
    }
    EXPECT_GT(bursts, 50);
}

TEST(FaultDecisions, ProbabilityIsRoughlyKept) {
    FaultPlan plan;
    plan.rx_drop = 0.01;
    int drops = 0;
    for (const ByteFate& f : fates(11, plan, 100000)) drops += f.kind == FateKind::drop;
    EXPECT_NEAR(drops, 1000, 150);
}

// A swap must change the packet and keep its byte sum: two bytes that differ.
TEST(PacketSwap, SwapsTwoDifferingDataBytesOrNone) {
    struct Case {
        const char* what;
        std::vector<uint8_t> data;
        double probability;
        bool swaps;
    };
    std::vector<uint8_t> ramp(128);
    for (unsigned i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<uint8_t>(i);
    std::vector<uint8_t> filler_and_one(128, 0x1A);
    filler_and_one[77] = 0x42;
    const Case cases[] = {
        {"a packet of data", ramp, 1.0, true},
        {"filler but for one byte: the odd one is in the pair", filler_and_one, 1.0, true},
        {"all bytes equal: nothing to swap", std::vector<uint8_t>(128, 0x1A), 1.0, false},
        {"one byte only", {7}, 1.0, false},
        {"no probability", ramp, 0.0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FaultPlan plan;
        plan.rx_swap = c.probability;
        for (uint64_t seed = 1; seed <= 200; ++seed) {
            FaultState s;
            fault_rng_seed(s.rng, seed);
            const SwapFate f = decide_packet_swap(s, plan, c.data.data(), static_cast<unsigned>(c.data.size()));
            ASSERT_EQ(f.swap, c.swaps) << "seed " << seed;
            if (!f.swap) continue;
            ASSERT_LT(f.first, f.second);
            ASSERT_LT(f.second, c.data.size());
            EXPECT_NE(c.data[f.first], c.data[f.second]);
        }
    }
}

TEST(PacketSwap, ProbabilityIsRoughlyKeptPerPacket) {
    std::vector<uint8_t> data(128);
    for (unsigned i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 3);
    FaultPlan plan;
    plan.rx_swap = 0.1;
    FaultState s;
    fault_rng_seed(s.rng, 5);
    int swaps = 0;
    for (int packet = 0; packet < 10000; ++packet) swaps += decide_packet_swap(s, plan, data.data(), 128).swap;
    EXPECT_NEAR(swaps, 1000, 150);
}

// A packet as the receiver takes it: SOH (132 bytes) or STX (1028), block, complement, data, checksum.
void deliver_packet(PacketWatch& w, int altered_index, uint8_t start = SOH) {
    for (unsigned i = 0; i < xmodem_packet_size(start); ++i)
        packet_watch_delivered(w, i == 0 ? start : static_cast<uint8_t>(i), static_cast<int>(i) == altered_index);
}

TEST(PacketWatch, CountsPacketsByDamageAndAnswer) {
    struct Case {
        const char* what;
        int altered_index;  // -1: none
        uint8_t answer;
        PacketCounts expected;
        uint8_t start = SOH;
        bool stray_byte_first = false;
    };
    // expected: answered, accepted, damaged, damaged and accepted
    const Case cases[] = {
        {"clean packet, ACK", -1, ACK, {.answered = 1, .accepted = 1}},
        {"clean packet, NAK", -1, NAK, {.answered = 1}},
        {"damaged data, NAK", 50, NAK, {.answered = 1, .damaged = 1}},
        {"damaged data, ACK: the checksum's blind spot",
         50,
         ACK,
         {.answered = 1, .accepted = 1, .damaged = 1, .damaged_accepted = 1}},
        {"damaged checksum byte, ACK", 131, ACK, {.answered = 1, .accepted = 1, .damaged = 1, .damaged_accepted = 1}},
        {"damaged complement only: ignored by the receiver", 2, ACK, {.answered = 1, .accepted = 1}},
        {"a text byte is no answer", -1, 'x', {}},
        {"1024-byte packet, ACK", -1, ACK, {.answered = 1, .accepted = 1}, STX},
        {"1024-byte packet damaged past the first 132 bytes, NAK", 900, NAK, {.answered = 1, .damaged = 1}, STX},
        {"1024-byte packet with a damaged checksum byte, ACK",
         1027,
         ACK,
         {.answered = 1, .accepted = 1, .damaged = 1, .damaged_accepted = 1},
         STX},
        {"a stray byte before the packet: what the receiver answers is no packet", -1, NAK, {}, SOH, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PacketWatch w;
        PacketCounts counts;
        packet_watch_sent(w, counts, NAK);  // the receiver's first NAK asks for the first packet
        if (c.stray_byte_first) packet_watch_delivered(w, 'x', true);
        deliver_packet(w, c.altered_index, c.start);
        packet_watch_sent(w, counts, c.answer);
        EXPECT_EQ(counts.answered, c.expected.answered);
        EXPECT_EQ(counts.accepted, c.expected.accepted);
        EXPECT_EQ(counts.damaged, c.expected.damaged);
        EXPECT_EQ(counts.damaged_accepted, c.expected.damaged_accepted);
    }
}

TEST(PacketWatch, AnAnswerAfterAPartialPacketIsNoPacketAnswer) {
    PacketWatch w;
    PacketCounts counts;
    for (int i = 0; i < 60; ++i) packet_watch_delivered(w, i == 0 ? SOH : 0, true);
    packet_watch_sent(w, counts, NAK);  // the receiver timed out mid-packet
    deliver_packet(w, -1);
    packet_watch_sent(w, counts, ACK);
    EXPECT_EQ(counts.answered, 1u);
    EXPECT_EQ(counts.damaged, 0u);
}

}  // namespace

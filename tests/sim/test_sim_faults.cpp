// SPDX-License-Identifier: GPL-2.0-or-later
// Seeded fault decisions, and the watch that tells damaged packets apart and
// counts what the stream resent.
#include "faults.h"
#include "packet_watch.h"

#include <gtest/gtest.h>

#include <utility>
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
void deliver_packet(PacketWatch& w, PacketCounts& counts, int altered_index, uint8_t start = SOH) {
    for (unsigned i = 0; i < xmodem_packet_size(start); ++i)
        packet_watch_delivered(w, counts, i == 0 ? start : static_cast<uint8_t>(i),
                               static_cast<int>(i) == altered_index);
}

TEST(PacketWatch, CountsPacketsByDamageAndAnswer) {
    struct Counts {
        uint64_t answered = 0;
        uint64_t accepted = 0;
        uint64_t damaged = 0;
        uint64_t damaged_accepted = 0;
    };
    struct Case {
        const char* what;
        int altered_index;  // -1: none
        uint8_t answer;
        Counts expected;
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
        if (c.stray_byte_first) packet_watch_delivered(w, counts, 'x', true);
        deliver_packet(w, counts, c.altered_index, c.start);
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
    for (int i = 0; i < 60; ++i) packet_watch_delivered(w, counts, i == 0 ? SOH : 0, true);
    packet_watch_sent(w, counts, NAK);  // the receiver timed out mid-packet
    deliver_packet(w, counts, -1);
    packet_watch_sent(w, counts, ACK);
    EXPECT_EQ(counts.answered, 1u);
    EXPECT_EQ(counts.damaged, 0u);
}

// The stream as the second stage receives it (stream_wire.h): COBS frames, each
// ended by a zero, and three-byte answers.
std::vector<uint8_t> cobs(const std::vector<uint8_t>& content) {
    std::vector<uint8_t> out{0};
    size_t code_at = 0;
    for (const uint8_t b : content) {
        if (b != 0) out.push_back(b);
        if (b == 0 || out.size() - code_at == STREAM_COBS_FULL_RUN) {
            out[code_at] = static_cast<uint8_t>(out.size() - code_at);
            code_at = out.size();
            out.push_back(0);
        }
    }
    out[code_at] = static_cast<uint8_t>(out.size() - code_at);
    return out;
}

// A data frame's content: short ones hold zeros (their wire size is 135
// whatever they hold), long ones none (1,035 bytes, the longest frame).
std::vector<uint8_t> data_content(unsigned block, bool long_data) {
    std::vector<uint8_t> c{static_cast<uint8_t>(block)};
    for (unsigned i = 0; i < (long_data ? STREAM_LONG_DATA : STREAM_SHORT_DATA); ++i)
        c.push_back(long_data ? 0x55 : static_cast<uint8_t>(i));
    c.insert(c.end(), {0x11, 0x22, 0x33, 0x44});  // the CRC-32: the watch does not check it
    return c;
}

constexpr unsigned SHORT_WIRE = 135;
constexpr unsigned LONG_WIRE = 1035;

struct Step {
    enum Kind { frames, wire, answer } kind;
    unsigned first = 0;  // frames: blocks first..last, short ones
    unsigned last = 0;
    std::vector<uint8_t> bytes;  // wire: delivered as they are; answer: sent
    int altered_at = -1;         // wire: the byte a fault touched
};

Step frames(unsigned first, unsigned last) { return {Step::frames, first, last, {}, -1}; }
Step wire(std::vector<uint8_t> bytes, int altered_at = -1) { return {Step::wire, 0, 0, std::move(bytes), altered_at}; }
Step frame_bytes(const std::vector<uint8_t>& content, int altered_at = -1, bool delimited = true) {
    std::vector<uint8_t> w = cobs(content);
    if (delimited) w.push_back(STREAM_DELIMITER);
    return wire(w, altered_at);
}
Step sent(std::vector<uint8_t> bytes) { return {Step::answer, 0, 0, std::move(bytes), -1}; }
Step answer(uint8_t code, unsigned block) {
    return sent({code, static_cast<uint8_t>(block), static_cast<uint8_t>(block ^ STREAM_ANSWER_BITS)});
}
Step ack(unsigned block) { return answer(STREAM_ACK, block); }
Step nak(unsigned block) { return answer(STREAM_NAK, block); }

void run(PacketWatch& w, PacketCounts& c, const std::vector<Step>& steps) {
    for (const Step& s : steps) {
        if (s.kind == Step::frames) {
            for (unsigned b = s.first; b <= s.last; ++b) {
                std::vector<uint8_t> wire = cobs(data_content(b, false));
                wire.push_back(STREAM_DELIMITER);
                for (const uint8_t v : wire) packet_watch_delivered(w, c, v, false);
            }
        } else if (s.kind == Step::wire) {
            for (size_t i = 0; i < s.bytes.size(); ++i)
                packet_watch_delivered(w, c, s.bytes[i], static_cast<int>(i) == s.altered_at);
        } else {
            for (const uint8_t v : s.bytes) packet_watch_sent(w, c, v);
        }
    }
}

TEST(StreamWatch, CountsNaksAndWhatCrossedBeyondWhatWasStored) {
    std::vector<uint8_t> damaged_frame = cobs(data_content(2, false));
    damaged_frame.insert(damaged_frame.begin() + 60, STREAM_DELIMITER);  // an inserted zero cuts it in two
    damaged_frame.push_back(STREAM_DELIMITER);
    const std::vector<uint8_t> end = {STREAM_END, 4, static_cast<uint8_t>(~4)};
    struct Expected {
        uint64_t naks = 0, received = 0, received_bytes = 0, stored = 0, stored_bytes = 0;
        uint64_t damaged = 0, damaged_accepted = 0;
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
        Expected expected;
    };
    const Case cases[] = {
        {"a clean line, acknowledged in two steps",
         {frames(1, 2), ack(2), frames(3, 4), ack(4)},
         {.received = 4, .received_bytes = 4 * SHORT_WIRE, .stored = 4, .stored_bytes = 4 * SHORT_WIRE}},
        {"a lost frame: its NAK, and the window resent beyond those stored",
         {frames(1, 1), frames(3, 4), ack(1), nak(2), frames(2, 4), ack(4)},
         {.naks = 1, .received = 6, .received_bytes = 6 * SHORT_WIRE, .stored = 4, .stored_bytes = 4 * SHORT_WIRE}},
        {"a damaged frame refused and sent again",
         {frames(1, 1), frame_bytes(data_content(2, false), 70), ack(1), nak(2), frames(2, 2), ack(2)},
         {.naks = 1,
          .received = 3,
          .received_bytes = 3 * SHORT_WIRE,
          .stored = 2,
          .stored_bytes = 2 * SHORT_WIRE,
          .damaged = 1}},
        {"a damaged frame acknowledged: the stored copy was damaged",
         {frame_bytes(data_content(1, false), 70), ack(1)},
         {.received = 1,
          .received_bytes = SHORT_WIRE,
          .stored = 1,
          .stored_bytes = SHORT_WIRE,
          .damaged = 1,
          .damaged_accepted = 1}},
        {"an inserted zero: the damaged half counts, the clean half is no frame",
         {frames(1, 1), wire(damaged_frame, 60), ack(1), nak(2)},
         {.naks = 1,
          .received = 2,
          .received_bytes = SHORT_WIRE + 61,
          .stored = 1,
          .stored_bytes = SHORT_WIRE,
          .damaged = 1}},
        {"a lost delimiter: two frames read as one damaged frame",
         {frame_bytes(data_content(1, false), -1, false), frame_bytes(data_content(2, false), 0), nak(1)},
         {.naks = 1, .received = 1, .received_bytes = 2 * SHORT_WIRE - 1, .damaged = 1}},
        {"long frames",
         {frame_bytes(data_content(1, true)), frame_bytes(data_content(2, true)), ack(2)},
         {.received = 2, .received_bytes = 2 * LONG_WIRE, .stored = 2, .stored_bytes = 2 * LONG_WIRE}},
        {"the leading zero, END and empty frames are no data frames",
         {wire({STREAM_DELIMITER, STREAM_DELIMITER}), frames(1, 3), frame_bytes(end), frame_bytes({}), ack(3),
          sent({STREAM_LEAVING, STREAM_LEFT_DONE, STREAM_LEFT_DONE})},
         {.received = 3, .received_bytes = 3 * SHORT_WIRE, .stored = 3, .stored_bytes = 3 * SHORT_WIRE}},
        {"block numbers past 127 wrap in the answers",
         {frames(1, 130), ack(100), ack(130 & STREAM_ANSWER_BITS)},
         {.received = 130, .received_bytes = 130 * SHORT_WIRE, .stored = 130, .stored_bytes = 130 * SHORT_WIRE}},
        {"an ACK again for the same block stores nothing more; the last frame is left unacknowledged",
         {frames(1, 3), ack(2), ack(2)},
         {.received = 3, .received_bytes = 3 * SHORT_WIRE, .stored = 2, .stored_bytes = 2 * SHORT_WIRE}},
        {"a stray byte before an answer, and a bad complement, are no answers",
         {frames(1, 2), sent({'x'}), ack(1), sent({STREAM_NAK, 2, 2}), ack(2)},
         {.received = 2, .received_bytes = 2 * SHORT_WIRE, .stored = 2, .stored_bytes = 2 * SHORT_WIRE}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PacketWatch w = packet_watch_for(STREAM_STAGE_ENTRY);
        PacketCounts counts;
        run(w, counts, c.steps);
        EXPECT_EQ(counts.stream.naks, c.expected.naks);
        EXPECT_EQ(counts.stream.received, c.expected.received);
        EXPECT_EQ(counts.stream.received_bytes, c.expected.received_bytes);
        EXPECT_EQ(counts.stream.stored, c.expected.stored);
        EXPECT_EQ(counts.stream.stored_bytes, c.expected.stored_bytes);
        // Every data frame counts as a packet answered, every stored one as accepted.
        EXPECT_EQ(counts.answered, c.expected.received);
        EXPECT_EQ(counts.accepted, c.expected.stored);
        EXPECT_EQ(counts.damaged, c.expected.damaged);
        EXPECT_EQ(counts.damaged_accepted, c.expected.damaged_accepted);
    }
}

// Only the second stage's entry streams; a frame sent to an XMODEM receiver is no packet.
TEST(StreamWatch, OnlyTheSecondStagesEntryIsWatchedAsAStream) {
    EXPECT_TRUE(packet_watch_for(STREAM_STAGE_ENTRY).streamed);
    EXPECT_TRUE(packet_watch_for(physical_address(STREAM_STAGE_ENTRY) | 0x80000000u).streamed);  // kseg0
    PacketWatch w = packet_watch_for(0xA0080000);
    PacketCounts counts;
    run(w, counts, {frames(1, 2), ack(2)});
    EXPECT_EQ(counts.stream.received, 0u);
    EXPECT_EQ(counts.accepted, 0u);
}

}  // namespace

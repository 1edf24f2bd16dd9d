// SPDX-License-Identifier: GPL-2.0-or-later
// The second stage's streamed receive, on the real images in emulation: the
// host stays at the monitor's rate ('=' then 'G'), then plays a stream of
// packets with their running CRC-32, all its bytes waiting on the line at
// once as from a sender far ahead, damaged in one way per case, and what the
// sender resends after the receiver's answers. Each case checks what the
// receiver answered, what it stored and what it reported, and that nothing
// landed outside the receive area and the loaders' own memory.
#include "firmware/loader_checks.h"
#include "firmware/loader_machine.h"

#include "transfer/control_bytes.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t STAGE_ENTRY = 0xA0083000;
constexpr std::size_t DATA = 128;
constexpr std::size_t LONG_DATA = 1024;
constexpr std::uint8_t END_SECOND = 0xFF ^ EOT;  // EOT, ~EOT ends the stream
constexpr std::uint8_t ANSWER_BITS = 0x7F;
constexpr int BUDGET = 20;
// Stores may land in the received data and in the loaders' memory only.
constexpr std::uint32_t LOADER_MEMORY = 0x00080000;
constexpr std::uint32_t LOADER_MEMORY_END = 0x00082080;
constexpr std::uint32_t STAGE_MEMORY = 0x00083000;
constexpr std::uint32_t STAGE_MEMORY_END = 0x00090000;
constexpr std::uint32_t DEST_END = (RAM_RECEIVE_AREA & 0x1FFFFFFF) + 0x670000 + DATA;

Bytes payload(int seed, std::size_t size) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; i++) data[i] = static_cast<std::uint8_t>(seed * 41 + i * 7 + i / 200);
    return data;
}

// The packets of a stream: each carries the CRC-32 of everything before it and itself.
struct Stream {
    std::vector<Bytes> packets;  // wire bytes
    Bytes stored;                // what the receiver stores from them
};

Stream make_stream(const std::vector<std::size_t>& sizes) {
    Stream s;
    uLong crc = crc32(0, nullptr, 0);
    std::uint8_t block = 1;
    for (std::size_t size : sizes) {
        const Bytes data = payload(block, size);
        crc = crc32(crc, data.data(), static_cast<uInt>(data.size()));
        Bytes wire{size == LONG_DATA ? STX : SOH, block, static_cast<std::uint8_t>(~block)};
        wire.insert(wire.end(), data.begin(), data.end());
        for (int shift = 0; shift < 32; shift += 8) wire.push_back(static_cast<std::uint8_t>(crc >> shift));
        s.packets.push_back(wire);
        s.stored.insert(s.stored.end(), data.begin(), data.end());
        ++block;
    }
    return s;
}

std::string answer(std::uint8_t code, std::uint8_t block) {
    const auto low = static_cast<std::uint8_t>(block & ANSWER_BITS);
    return std::string{static_cast<char>(code), static_cast<char>(low), static_cast<char>(low ^ ANSWER_BITS)};
}
std::string acks(std::uint8_t from, std::uint8_t to) {
    std::string all;
    for (unsigned block = from; block <= to; ++block) all += answer(ACK, static_cast<std::uint8_t>(block));
    return all;
}

std::string success(const Bytes& stored) {
    char line[64];
    std::snprintf(line, sizeof line, "CRC32 %08lx %08zx\r\n", crc32(0, stored.data(), static_cast<uInt>(stored.size())),
                  stored.size());
    return std::string("Download Successful\r\n") + line;
}

// The host's side of the fast line's start at the monitor's rate, up to the receiver's NAK.
void start_stream(LoaderMachine& machine) {
    for (std::size_t i = 0; i < std::string("FAST 0008\r\n").size(); i++) machine.pause();
    machine.send({'=', 'G'});
    machine.pause();
}

void expect_stores_in_place(const LoaderMachine& machine) {
    for (const StoreRecord& store : machine.stores) {
        const std::uint32_t at = store.physical;
        const bool loader = at >= LOADER_MEMORY && at + store.size <= LOADER_MEMORY_END;
        const bool stage = at >= STAGE_MEMORY && at + store.size <= STAGE_MEMORY_END;
        const bool data = at >= (RAM_RECEIVE_AREA & 0x1FFFFFFF) && at + store.size <= DEST_END;
        const bool stack = at + store.size <= machine.stack_top && at + 0x100 >= machine.stack_top;
        EXPECT_TRUE(loader || stage || data || stack) << std::hex << "store at physical 0x" << at;
    }
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

const Bytes END{EOT, END_SECOND};

}  // namespace

TEST(StreamStage, AnswersEachWayAStreamGoesWrong) {
    // Three packets: a kilobyte, then two of 128 bytes.
    const Stream s = make_stream({LONG_DATA, DATA, DATA});
    const Bytes& p1 = s.packets[0];
    const Bytes& p2 = s.packets[1];
    const Bytes& p3 = s.packets[2];
    auto changed = [](Bytes packet, std::size_t at, std::uint8_t value) {
        packet[at] = value;
        return packet;
    };
    auto without = [](Bytes packet, std::size_t at) {
        packet.erase(packet.begin() + static_cast<std::ptrdiff_t>(at));
        return packet;
    };
    struct Case {
        const char* what;
        std::vector<Bytes> bursts;  // sent back to back, then the line is quiet
        std::string answers;        // after the opening NAK
        std::string verdict;
    };
    const std::string done = answer(ACK, 4);
    const Case cases[] = {
        {"a clean stream, written at once", {join({p1, p2, p3}), END}, acks(1, 3) + done, success(s.stored)},
        {"a damaged data byte: NAK, the rest dropped until the resend",
         {join({p1, changed(p2, 40, p2[40] ^ 0x10), p3}), join({p2, p3}), END},
         acks(1, 1) + answer(NAK, 2) + acks(2, 3) + done,
         success(s.stored)},
        {"a lost byte: the packet reads into the next one's header and fails its CRC",
         {join({p1, without(p2, 70), p3}), join({p2, p3}), END},
         acks(1, 1) + answer(NAK, 2) + acks(2, 3) + done,
         success(s.stored)},
        {"an inserted byte between packets is dropped without an answer",
         {join({p1, Bytes{0x55}, p2, p3}), END},
         acks(1, 3) + done,
         success(s.stored)},
        {"a lost header: the next packet shows the gap, NAK once",
         {join({p1, changed(p2, 0, 0x7E), p3}), join({p2, p3}), END},
         acks(1, 1) + answer(NAK, 2) + acks(2, 3) + done,
         success(s.stored)},
        {"a damaged CRC byte", {join({p1, p2, changed(p3, 134, p3[134] ^ 1)}), p3, END},
         acks(1, 2) + answer(NAK, 3) + acks(3, 3) + done,
         success(s.stored)},
        {"a resend of what is stored is acknowledged again, not stored twice",
         {join({p1, p2}), join({p1, p2, p3}), END},
         acks(1, 2) + answer(ACK, 2) + answer(ACK, 2) + acks(3, 3) + done,
         success(s.stored)},
        {"EOT while a packet is missing does not end the stream",
         {join({p1, changed(p2, 0, 0x7E), p3}), END, join({p2, p3}), END},
         acks(1, 1) + answer(NAK, 2) + acks(2, 3) + done,
         success(s.stored)},
        {"CAN, CAN and quiet: an abort", {p1, Bytes{CAN, CAN}}, acks(1, 1) + answer(ACK, 2), "ABORTED\r\nDownload Failed!\r\n"},
        {"a packet of CANs cut short, then CAN, CAN: an abort as the host's way out sends it",
         {join({Bytes(p1.begin(), p1.begin() + 500), Bytes(LONG_DATA + 9, CAN)})},
         answer(NAK, 1) + answer(ACK, 1),
         "ABORTED\r\nDownload Failed!\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LoaderMachine machine;
        start_stream(machine);
        for (const Bytes& burst : c.bursts) machine.send(burst);
        machine.pause();
        machine.send({'\r'});  // the host's byte that lets the verdict come
        machine.run(STAGE_ENTRY);

        const std::string start = "FAST 0008\r\n" + std::string(1, static_cast<char>(NAK));
        EXPECT_EQ(machine.sent, start + c.answers + c.verdict);
        if (c.verdict == success(s.stored)) {
            EXPECT_EQ(machine.read(RAM_RECEIVE_AREA, s.stored.size()), s.stored);
        }
        expect_clean_return_with_gate(machine);
        expect_stores_in_place(machine);
    }
}

// Damage every packet: each failure costs the budget, and the receiver gives up with CAN, CAN.
TEST(StreamStage, GivesUpWithCanWhenTheBudgetIsSpent) {
    const Stream s = make_stream({DATA});
    Bytes damaged = s.packets[0];
    damaged[10] ^= 1;
    LoaderMachine machine;
    start_stream(machine);
    for (int i = 0; i < BUDGET; ++i) machine.send(damaged);
    machine.pause();
    machine.send({'\r'});
    machine.run(STAGE_ENTRY);
    std::string naks;
    for (int i = 0; i < BUDGET - 1; ++i) naks += answer(NAK, 1);
    EXPECT_EQ(machine.sent, "FAST 0008\r\n" + std::string(1, static_cast<char>(NAK)) + naks +
                                std::string(2, static_cast<char>(CAN)) + "BAD CRC\r\nDownload Failed!\r\n");
    expect_clean_return_with_gate(machine);
}

namespace {

// Plays a stream once the script is done; when the loader's first ACK comes,
// it moves the stage's destination variable (found by its value) next
// to the receive limit, as if 0x670000 bytes had come already.
class NearTheLimit : public LinePeer {
public:
    NearTheLimit(LoaderMachine& machine, std::uint32_t destination_now, std::uint32_t moved_to, Bytes bytes)
        : machine_(machine), now_(destination_now), moved_to_(moved_to), bytes_(std::move(bytes)) {}

    int receive() override {
        if (!moved_) return -1;
        if (next_ == bytes_.size()) return -1;
        return bytes_[next_++];
    }

    void deliver(std::uint8_t byte) override {
        if (moved_ || byte != ACK) return;
        moved_ = true;
        const std::uint32_t variable = machine_.find_word(0xA0083000, STAGE_MEMORY_END - STAGE_MEMORY, now_);
        EXPECT_NE(variable, 0u) << "the stage's destination variable";
        if (variable != 0) machine_.write_word(variable, moved_to_);
    }

private:
    LoaderMachine& machine_;
    std::uint32_t now_;
    std::uint32_t moved_to_;
    Bytes bytes_;
    std::size_t next_ = 0;
    bool moved_ = false;
};

}  // namespace

// The packet that fills the limit is stored; the next is refused with CAN,
// CAN, and nothing lands past the limit, whatever the packet's size.
TEST(StreamStage, APacketPastTheReceiveLimitEndsTheTransferWithCan) {
    for (const std::size_t size : {DATA, LONG_DATA}) {
        SCOPED_TRACE(size);
        const Stream s = make_stream({size, size, size});
        LoaderMachine machine;
        start_stream(machine);
        machine.send(s.packets[0]);
        const std::uint32_t limit = RAM_RECEIVE_AREA + 0x670000 + DATA;
        NearTheLimit peer(machine, RAM_RECEIVE_AREA + static_cast<std::uint32_t>(size),
                          limit - static_cast<std::uint32_t>(size), join({s.packets[1], s.packets[2]}));
        machine.attach(&peer);
        machine.fill(limit, LONG_DATA, 0xEE);
        machine.run(STAGE_ENTRY);

        EXPECT_EQ(machine.sent, "FAST 0008\r\n" + std::string(1, static_cast<char>(NAK)) + acks(1, 2) +
                                    std::string(2, static_cast<char>(CAN)) + "TOO LARGE\r\nDownload Failed!\r\n");
        EXPECT_EQ(machine.read(limit - size, size), payload(2, size));
        EXPECT_EQ(machine.read(limit, LONG_DATA), Bytes(LONG_DATA, 0xEE));
        expect_stores_in_place(machine);
    }
}

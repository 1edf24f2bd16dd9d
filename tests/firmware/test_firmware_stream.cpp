// SPDX-License-Identifier: GPL-2.0-or-later
// The second stage's streamed receive, on the real images in emulation: the
// host stays at the monitor's rate ('=' then 'G'), then plays COBS frames
// (transfer/stream_wire.h) with their running CRC-32, their bytes waiting on
// the line as from a sender far ahead, damaged in one way per case, and what
// the sender resends after the receiver's answers. Each case checks what the
// receiver answered, what it stored and what it reported, and that nothing
// landed outside the receive area and the loaders' own memory.
#include "firmware/loader_checks.h"
#include "firmware/loader_machine.h"

#include "transfer/stream_wire.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t STAGE_ENTRY = 0xA0083000;
constexpr std::size_t SHORT = STREAM_SHORT_DATA;
constexpr std::size_t LONG = STREAM_LONG_DATA;
constexpr int BUDGET = 20;
// Polls, as the loader counts them (loader.h).
constexpr long RX_POLL_LIMIT = 5000000;
constexpr long LEAVE_QUIET_POLLS = STREAM_LEAVE_QUIET_MS * 1000L;
constexpr long LEAVE_LIMIT_POLLS = STREAM_LEAVE_LIMIT_MS * 1000L;
// Stores may land in the received data and in the loaders' memory only.
constexpr std::uint32_t LOADER_MEMORY = 0x00080000;
constexpr std::uint32_t LOADER_MEMORY_END = 0x00082080;
constexpr std::uint32_t STAGE_MEMORY = 0x00083000;
constexpr std::uint32_t STAGE_MEMORY_END = 0x00090000;
constexpr std::uint32_t RECEIVE_LIMIT = RAM_RECEIVE_AREA + 0x670000 + SHORT;

// Plain COBS: each run of non-zero bytes behind a code of its length plus
// one (at most 254 bytes to a code), the zeros between runs left implied,
// then the delimiter.
Bytes cobs(const Bytes& content) {
    Bytes wire{0};
    std::size_t code_at = 0;
    for (std::uint8_t byte : content) {
        if (byte != 0) wire.push_back(byte);
        if (byte == 0 || wire.size() - code_at == STREAM_COBS_FULL_RUN) {
            wire[code_at] = static_cast<std::uint8_t>(wire.size() - code_at);
            code_at = wire.size();
            wire.push_back(0);
        }
    }
    wire[code_at] = static_cast<std::uint8_t>(wire.size() - code_at);
    wire.push_back(STREAM_DELIMITER);
    return wire;
}

Bytes control(std::uint8_t code, std::uint8_t argument) {
    return cobs({code, argument, static_cast<std::uint8_t>(~argument)});
}
const Bytes BYE = control(STREAM_BYE, 0);
const Bytes ABORT = control(STREAM_ABORT, 0);
Bytes end_after(std::uint8_t last_block) { return control(STREAM_END, static_cast<std::uint8_t>(last_block + 1)); }

Bytes payload(int seed, std::size_t size) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; i++) data[i] = static_cast<std::uint8_t>(seed * 41 + i * 7 + i / 200);
    return data;
}

// The frames of a stream from block 1 on: each checks everything before it and itself.
struct Stream {
    std::vector<Bytes> contents;  // before encoding
    std::vector<Bytes> frames;    // on the wire
    Bytes stored;                 // what the receiver stores from them
};

Stream stream_of(const std::vector<Bytes>& datas) {
    Stream s;
    uLong crc = crc32(0, nullptr, 0);
    std::uint8_t block = STREAM_FIRST_BLOCK;
    for (const Bytes& data : datas) {
        crc = crc32(crc, data.data(), static_cast<uInt>(data.size()));
        Bytes content{block};
        content.insert(content.end(), data.begin(), data.end());
        for (int shift = 0; shift < 32; shift += 8) content.push_back(static_cast<std::uint8_t>(crc >> shift));
        s.contents.push_back(content);
        s.frames.push_back(cobs(content));
        s.stored.insert(s.stored.end(), data.begin(), data.end());
        ++block;
    }
    return s;
}

Stream make_stream(const std::vector<std::size_t>& sizes) {
    std::vector<Bytes> datas;
    for (std::size_t i = 0; i < sizes.size(); i++) datas.push_back(payload(static_cast<int>(i + 1), sizes[i]));
    return stream_of(datas);
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes repeated(const Bytes& frame, int times) {
    Bytes all;
    for (int i = 0; i < times; i++) all.insert(all.end(), frame.begin(), frame.end());
    return all;
}

std::string answer(std::uint8_t code, std::uint8_t argument) {
    const auto low = static_cast<std::uint8_t>(argument & STREAM_ANSWER_BITS);
    return std::string{static_cast<char>(code), static_cast<char>(low), static_cast<char>(low ^ STREAM_ANSWER_BITS)};
}
std::string ack(unsigned block) { return answer(STREAM_ACK, static_cast<std::uint8_t>(block)); }
std::string nak(unsigned block) { return answer(STREAM_NAK, static_cast<std::uint8_t>(block)); }
std::string acks(unsigned from, unsigned to) {
    std::string all;
    for (unsigned block = from; block <= to; ++block) all += ack(block);
    return all;
}
// LEAVING carries its reason twice.
std::string leaving(char reason) { return std::string{static_cast<char>(STREAM_LEAVING), reason, reason}; }

std::string success(const Bytes& stored) {
    char line[64];
    std::snprintf(line, sizeof line, "CRC32 %08lx %08zx\r\n", crc32(0, stored.data(), static_cast<uInt>(stored.size())),
                  stored.size());
    return std::string("Download Successful\r\n") + line;
}
std::string failed(const char* status) { return std::string(status) + "\r\nDownload Failed!\r\n"; }

// What the host does on the line after the receiver's NAK: bytes, a wait for
// the receiver's next byte, or a silence of some polls.
struct Step {
    enum Kind { Send, Pause, Quiet } kind = Send;
    Bytes bytes;
    long polls = 0;
};
Step send(Bytes bytes) { return {Step::Send, std::move(bytes), 0}; }
Step wait_answer() { return {Step::Pause, {}, 0}; }
Step quiet(long polls) { return {Step::Quiet, {}, polls}; }
Step quiet_ms(long ms) { return quiet(ms * 1000); }

// The host's side of the fast line's start at the monitor's rate, up to the
// receiver's NAK, and the zero the host sends before its first frame.
void start_stream(LoaderMachine& machine) {
    for (std::size_t i = 0; i < std::string("FAST 0008\r\n").size(); i++) machine.pause();
    machine.send({'=', 'G'});
    machine.pause();
    machine.send({STREAM_DELIMITER});
}

const std::string OPENING = "FAST 0008\r\n" + std::string(1, static_cast<char>(STREAM_NAK));

void expect_stores_in_place(const LoaderMachine& machine) {
    for (const StoreRecord& store : machine.stores) {
        const std::uint32_t at = store.physical;
        const bool loader = at >= LOADER_MEMORY && at + store.size <= LOADER_MEMORY_END;
        const bool stage = at >= STAGE_MEMORY && at + store.size <= STAGE_MEMORY_END;
        const bool data = at >= (RAM_RECEIVE_AREA & PHYS_MASK) && at + store.size <= (RECEIVE_LIMIT & PHYS_MASK);
        const bool stack = at + store.size <= machine.stack_top && at + 0x100 >= machine.stack_top;
        EXPECT_TRUE(loader || stage || data || stack) << std::hex << "store at physical 0x" << at;
    }
}

// Plays the steps, then the host's byte that lets the verdict come, and
// checks the answers, the verdict and, after a success, the stored bytes.
void play_and_check(const std::vector<Step>& steps, const std::string& answers, const std::string& verdict,
                    const Bytes& stored) {
    LoaderMachine machine;
    start_stream(machine);
    for (const Step& step : steps) {
        if (step.kind == Step::Send) machine.send(step.bytes);
        if (step.kind == Step::Pause) machine.pause();
        if (step.kind == Step::Quiet) machine.quiet(step.polls);
    }
    machine.send({'\r'});
    machine.run(STAGE_ENTRY);

    EXPECT_EQ(machine.sent, OPENING + answers + verdict);
    if (verdict == success(stored)) {
        EXPECT_EQ(machine.read(RAM_RECEIVE_AREA, stored.size()), stored);
    }
    expect_clean_return_with_gate(machine);
    expect_stores_in_place(machine);
}

// END, LEAVING D, then the host's BYE.
std::vector<Step> ended(std::vector<Step> steps, std::uint8_t last_block) {
    steps.push_back(send(end_after(last_block)));
    steps.push_back(wait_answer());
    steps.push_back(send(BYE));
    return steps;
}

}  // namespace

// Every block number from 1 round to 255, 0 and on again: each frame stored
// in order and acknowledged, long and short ones alternating.
TEST(StreamStage, ACleanStreamPassesEveryBlockNumber) {
    std::vector<std::size_t> sizes;
    for (int i = 0; i < 300; i++) sizes.push_back(i % 2 == 0 ? LONG : SHORT);
    const Stream s = make_stream(sizes);
    Bytes all;
    std::string answers;
    for (std::size_t i = 0; i < s.frames.size(); i++) {
        all.insert(all.end(), s.frames[i].begin(), s.frames[i].end());
        answers += ack(static_cast<unsigned>(i + STREAM_FIRST_BLOCK));
    }
    play_and_check(ended({send(all)}, static_cast<std::uint8_t>(s.frames.size())), answers + leaving(STREAM_LEFT_DONE),
                   success(s.stored), s.stored);
}

// The host's line may stall inside a frame (a busy host, an adapter's
// latency timer): a pause after the code byte and after the block of every
// frame, shorter than the receiver's time-out, changes nothing.
TEST(StreamStage, PausesInsideAFrameChangeNothing) {
    const Stream s = make_stream({LONG, SHORT, LONG});
    for (const long ms : {0L, 30L, 60L, 300L}) {
        SCOPED_TRACE(ms);
        std::vector<Step> steps;
        for (const Bytes& frame : s.frames) {
            steps.push_back(send({frame[0]}));
            steps.push_back(quiet_ms(ms));
            steps.push_back(send({frame[1]}));
            steps.push_back(quiet_ms(ms));
            steps.push_back(send(Bytes(frame.begin() + 2, frame.end())));
        }
        play_and_check(ended(steps, 3), acks(1, 3) + leaving(STREAM_LEFT_DONE), success(s.stored), s.stored);
    }
}

// Data that look like frame boundaries, control frames or COBS's longest
// runs are stored intact and never read as anything but data.
TEST(StreamStage, DataLikeTheLinesOwnBytesAreStoredIntact) {
    const std::vector<Bytes> patterns = {
        {0x01, 0x04, 0xFB},
        {0x02, 0x04, 0xFB},
        {0x04, 0xFB},
        {0x18, 0x18},
        {0x00},
        {0xFF},
        {0x00, 0x04, 0x05, 0xFA, 0x00},
        {0x03, 0x00, 0xFF},
        {0x18, 0x00, 0xFF, 0x00},
    };
    for (const Bytes& pattern : patterns) {
        SCOPED_TRACE(testing::PrintToString(pattern));
        std::vector<Bytes> datas;
        for (const std::size_t size : {LONG, SHORT, LONG}) {
            Bytes data(size);
            for (std::size_t i = 0; i < size; i++) data[i] = pattern[i % pattern.size()];
            datas.push_back(data);
        }
        const Stream s = stream_of(datas);
        play_and_check(ended({send(join({s.frames[0], s.frames[1], s.frames[2]}))}, 3),
                       acks(1, 3) + leaving(STREAM_LEFT_DONE), success(s.stored), s.stored);
    }
}

TEST(StreamStage, AnswersEachWayAStreamGoesWrong) {
    // Four frames: a kilobyte, then three of 128 bytes.
    const Stream s = make_stream({LONG, SHORT, SHORT, SHORT});
    const Bytes& p1 = s.frames[0];
    const Bytes& p2 = s.frames[1];
    const Bytes& p3 = s.frames[2];
    const Bytes& p4 = s.frames[3];
    const Bytes rest = join({p2, p3, p4});
    // A frame whose content changed at one place, encoded again: only its check tells.
    auto changed_content = [&s](std::size_t frame, std::size_t at) {
        Bytes content = s.contents[frame];
        content[at] = static_cast<std::uint8_t>(content[at] == 0x5A ? 0x5B : 0x5A);
        return cobs(content);
    };
    auto changed_wire = [](Bytes frame, std::size_t at, std::uint8_t value) {
        frame[at] = value;
        return frame;
    };
    auto without = [](Bytes frame, std::size_t at) {
        frame.erase(frame.begin() + static_cast<std::ptrdiff_t>(at));
        return frame;
    };
    const Bytes bad_p2 = changed_content(1, 40);
    const Bytes end = end_after(4);
    const std::string done = leaving(STREAM_LEFT_DONE);
    const std::string aborted = leaving(STREAM_LEFT_ABORTED);
    struct Case {
        const char* what;
        std::vector<Step> steps;
        std::string answers;  // after the opening NAK
        std::string verdict;
    };
    const Case cases[] = {
        {"a damaged data byte: NAK, the later frames dropped until the resend",
         ended({send(join({p1, bad_p2, p3, p4})), send(rest)}, 4), acks(1, 1) + nak(2) + acks(2, 4) + done,
         success(s.stored)},
        {"a damaged check", ended({send(join({p1, p2, p3, changed_content(3, 130)})), send(p4)}, 4),
         acks(1, 3) + nak(4) + acks(4, 4) + done, success(s.stored)},
        {"damaged frames in a row, more than the budget: one NAK, the rest cost nothing",
         ended({send(join({p1, repeated(bad_p2, 2 * BUDGET)})), send(rest)}, 4),
         acks(1, 1) + nak(2) + acks(2, 4) + done, success(s.stored)},
        {"a zero inside a frame: both pieces are damaged, one NAK",
         ended({send(join({p1, changed_wire(p2, 60, 0), p3, p4})), send(rest)}, 4),
         acks(1, 1) + nak(2) + acks(2, 4) + done, success(s.stored)},
        {"a lost byte", ended({send(join({p1, without(p2, 70), p3, p4})), send(rest)}, 4),
         acks(1, 1) + nak(2) + acks(2, 4) + done, success(s.stored)},
        {"a COBS group that runs past the zero is damaged, even when its bytes read as END",
         ended({send(join({p1, p2, p3, p4, Bytes{0x05, STREAM_END, 0x05, 0xFA, 0x00}}))}, 4),
         acks(1, 4) + nak(5) + done, success(s.stored)},
        {"a stray byte joins the frame after it",
         ended({send(join({p1, p2, Bytes{0x55}, p3, p4})), send(join({p3, p4}))}, 4),
         acks(1, 2) + nak(3) + acks(3, 4) + done, success(s.stored)},
        {"a frame longer than any",
         ended({send(join({p1, cobs(Bytes(STREAM_LONG_CONTENT + 1, 0x42))})), send(rest)}, 4),
         acks(1, 1) + nak(2) + acks(2, 4) + done, success(s.stored)},
        {"a lost frame: the next one shows the gap, NAK once at no cost",
         ended({send(join({p1, p3, p4})), send(rest)}, 4), acks(1, 1) + nak(2) + acks(2, 4) + done, success(s.stored)},
        {"a resend of what is stored is acknowledged again, not stored twice",
         ended({send(join({p1, p2})), send(join({p1, p2, p3, p4}))}, 4),
         acks(1, 2) + ack(2) + ack(2) + acks(3, 4) + done, success(s.stored)},
        {"a frame silent half-way: a time-out, the partial frame dropped",
         ended({send(join({p1, Bytes(p2.begin(), p2.begin() + 60)})), wait_answer(), send(rest)}, 4),
         acks(1, 1) + nak(2) + acks(2, 4) + done, success(s.stored)},
        {"END while frames are missing is answered with NAK every time",
         ended({send(join({p1, end, end})), send(rest)}, 4), acks(1, 1) + nak(2) + nak(2) + acks(2, 4) + done,
         success(s.stored)},
        {"END damaged: a damaged frame", ended({send(join({p1, p2, p3, p4, changed_wire(end, 3, 0x77)}))}, 4),
         acks(1, 4) + nak(5) + done, success(s.stored)},
        {"empty frames, and BYE while the stream runs, are nothing",
         ended({send(join({Bytes{0, 0}, p1, BYE, Bytes{0}, p2, p3, p4}))}, 4), acks(1, 4) + done, success(s.stored)},
        {"ABORT after a zero cuts a frame short",
         {send(join({p1, Bytes(p2.begin(), p2.begin() + 70), Bytes{0}, ABORT})), wait_answer(), send(BYE)},
         acks(1, 1) + nak(2) + aborted,
         failed("ABORTED")},
        {"ABORT while a NAK is out",
         {send(join({p1, p3, ABORT})), wait_answer(), send(BYE)},
         acks(1, 1) + nak(2) + aborted,
         failed("ABORTED")},
        {"a lost LEAVING answer: END again in the leaving wait is answered again",
         {send(join({p1, p2, p3, p4, end})), wait_answer(), send(end), wait_answer(), send(BYE)},
         acks(1, 4) + done + done,
         success(s.stored)},
        {"ABORT in the leaving wait is answered with the reason the receiver left for",
         {send(join({p1, p2, p3, p4, end})), wait_answer(), send(ABORT), wait_answer(), send(BYE)},
         acks(1, 4) + done + done,
         success(s.stored)},
        {"a data frame in the leaving wait is not answered",
         {send(join({p1, p2, p3, p4, end})), wait_answer(), send(join({p4, BYE}))},
         acks(1, 4) + done,
         success(s.stored)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        play_and_check(c.steps, c.answers, c.verdict, s.stored);
    }
}

// Each failure after a stored frame costs one unit and each stored frame
// restores the budget, so a damaged copy before every frame never ends the
// transfer.
TEST(StreamStage, AStoredFrameRestoresTheBudget) {
    const Stream s = make_stream(std::vector<std::size_t>(BUDGET + 5, SHORT));
    Bytes all;
    std::string answers;
    for (std::size_t i = 0; i < s.contents.size(); i++) {
        Bytes damaged = s.contents[i];
        damaged[10] ^= 1;
        all = join({all, cobs(damaged), s.frames[i]});
        answers += nak(static_cast<unsigned>(i + 1)) + ack(static_cast<unsigned>(i + 1));
    }
    play_and_check(ended({send(all)}, static_cast<std::uint8_t>(s.frames.size())), answers + leaving(STREAM_LEFT_DONE),
                   success(s.stored), s.stored);
}

// A damaged frame costs one unit; silence costs one each time even while the
// NAK is out, and the last unit is answered with LEAVING F instead of a NAK.
// About a hundred million polls: some seconds in emulation.
TEST(StreamStage, LeavesWhenTheBudgetIsSpent) {
    const Stream s = make_stream({SHORT});
    Bytes damaged = s.contents[0];
    damaged[10] ^= 1;
    std::string naks;
    for (int i = 0; i < BUDGET - 1; ++i) naks += nak(1);
    play_and_check({send(cobs(damaged)), quiet((BUDGET - 1) * RX_POLL_LIMIT + LEAVE_QUIET_POLLS + 1000)},
                   naks + leaving(STREAM_LEFT_GAVE_UP), failed("TIMEOUT"), {});
}

// After LEAVING the receiver hears the host out: until the line has been
// quiet for the leaving time, every byte starting that time again, and never
// for longer than the limit. An END that comes while it still listens is
// answered again; one that comes later is not (the entry has gone on and
// takes its first byte as the host's at the monitor's rate).
TEST(StreamStage, TheLeavingWaitEndsOnAQuietLineOrAtItsLimit) {
    const Stream s = make_stream({SHORT});
    const Bytes end = end_after(1);
    auto restarts = [](int times, long polls) {
        std::vector<Step> steps;
        for (int i = 0; i < times; i++) {
            steps.push_back(quiet(polls));
            steps.push_back(send({STREAM_DELIMITER}));
        }
        return steps;
    };
    struct Case {
        const char* what;
        std::vector<Step> line;  // after the receiver's first LEAVING
        bool answered_again;
    };
    const long step = LEAVE_QUIET_POLLS / 5;
    const int past_limit = static_cast<int>(LEAVE_LIMIT_POLLS / step) + 2;
    const Case cases[] = {
        {"quiet a little less than the leaving time", {quiet(LEAVE_QUIET_POLLS - 1000)}, true},
        {"quiet a little more", {quiet(LEAVE_QUIET_POLLS + 1000)}, false},
        {"a byte starts the quiet time again", restarts(2, LEAVE_QUIET_POLLS - 1000), true},
        {"bytes until just before the limit", restarts(past_limit - 4, step), true},
        {"bytes past the limit", restarts(past_limit, step), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Step> steps{send(join({s.frames[0], end})), wait_answer()};
        steps.insert(steps.end(), c.line.begin(), c.line.end());
        steps.push_back(send(end));
        steps.push_back(wait_answer());
        steps.push_back(send(BYE));
        const std::string answers = acks(1, 1) + leaving(STREAM_LEFT_DONE);
        play_and_check(steps, c.answered_again ? answers + leaving(STREAM_LEFT_DONE) : answers, success(s.stored),
                       s.stored);
    }
}

namespace {

// Plays a stream once the script is done; when the loader's first ACK comes,
// it moves the stage's destination variable (found by its value) next
// to the receive limit, as if 0x670000 bytes had come already. When it hears
// LEAVING, it says BYE and sends the byte that lets the verdict come.
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
        if (heard_++ % STREAM_ANSWER_SIZE == 0 && byte == STREAM_LEAVING) bytes_ = join({bytes_, BYE, Bytes{'\r'}});
        if (moved_ || byte != STREAM_ACK) return;
        moved_ = true;
        const std::uint32_t variable = machine_.find_word(STAGE_ENTRY, STAGE_MEMORY_END - STAGE_MEMORY, now_);
        EXPECT_NE(variable, 0u) << "the stage's destination variable";
        if (variable != 0) machine_.write_word(variable, moved_to_);
    }

private:
    LoaderMachine& machine_;
    std::uint32_t now_;
    std::uint32_t moved_to_;
    Bytes bytes_;
    std::size_t next_ = 0;
    std::size_t heard_ = 0;  // answer bytes heard, from the first ACK on
    bool moved_ = false;
};

}  // namespace

// The frames that fill the receive area are stored, straight or through the
// stream buffer; the next is refused with LEAVING F, and nothing lands past
// them, whatever the frame's size or where the area ends in it, nor from an
// endless frame before them.
TEST(StreamStage, AFramePastTheReceiveLimitEndsTheTransfer) {
    struct Case {
        std::size_t size;
        std::uint32_t room;  // left before the limit once the first frame is stored
    };
    for (const Case& c : {Case{SHORT, SHORT}, Case{LONG, LONG}, Case{SHORT, LONG + SHORT}, Case{LONG, LONG + SHORT}}) {
        SCOPED_TRACE(testing::Message() << c.size << " bytes, " << c.room << " left");
        const std::size_t fitting = c.room / c.size;  // frames stored after the first
        const Stream s = make_stream(std::vector<std::size_t>(2 + fitting, c.size));
        Bytes later = cobs(Bytes(3 * LONG, 0x42));
        for (std::size_t i = 1; i < s.frames.size(); i++) later = join({later, s.frames[i]});
        const std::uint32_t moved_to = RECEIVE_LIMIT - c.room;
        const std::uint32_t stored_end = moved_to + static_cast<std::uint32_t>(fitting * c.size);
        LoaderMachine machine;
        start_stream(machine);
        machine.send(s.frames[0]);
        NearTheLimit peer(machine, RAM_RECEIVE_AREA + static_cast<std::uint32_t>(c.size), moved_to, later);
        machine.attach(&peer);
        machine.fill(stored_end, RECEIVE_LIMIT + LONG - stored_end, 0xEE);
        machine.run(STAGE_ENTRY);

        EXPECT_EQ(machine.sent, OPENING + acks(1, 1) + nak(2) + acks(2, static_cast<unsigned>(1 + fitting)) +
                                    leaving(STREAM_LEFT_GAVE_UP) + failed("TOO LARGE"));
        const Bytes stored(s.stored.begin() + static_cast<std::ptrdiff_t>(c.size),
                           s.stored.begin() + static_cast<std::ptrdiff_t>((1 + fitting) * c.size));
        EXPECT_EQ(machine.read(moved_to, stored.size()), stored);
        EXPECT_EQ(machine.read(stored_end, RECEIVE_LIMIT + LONG - stored_end),
                  Bytes(RECEIVE_LIMIT + LONG - stored_end, 0xEE));
        expect_stores_in_place(machine);
    }
}

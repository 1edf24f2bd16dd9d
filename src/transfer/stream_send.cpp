// SPDX-License-Identifier: GPL-2.0-or-later
#include "transfer/stream_send.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>

#include "core/exit_signals.h"
#include "core/fatal.h"
#include "core/kept_texts.h"
#include "serial/byte_wait.h"
#include "serial/line_assembly.h"
#include "transfer/control_bytes.h"
#include "transfer/progress.h"
#include "transfer/receiver_session.h"
#include "transfer/sender_guard.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int HEADER_SIZE = 3;  // mark, block, complement: the data follow, in both layouts
constexpr int BITS_PER_BYTE = 10;  // start, eight data bits, stop
// The window must keep the line busy until the first packet's answer is back:
// that packet's own time on the line, an adapter's latency timer (16 ms on
// common ones, where the driver ignores the low-latency request), the
// answer's three bytes and a busy host's wake-up on its way back (measured up
// to some 30 ms on two loaded cores). Twice that, so that a late wake-up or a
// second latency period still finds the line busy; a fault then costs at most
// that much again (about 0.12 s at 921600 bit/s, 0.3 s at 115200).
constexpr milliseconds ADAPTER_LATENCY(16);
constexpr milliseconds HOST_WAKE_UP(30);
constexpr int ANSWER_SIZE = 3;
constexpr int WINDOW_COVER = 2;
constexpr int WINDOW_MIN_PACKETS = 2;
// Answers name a block by seven bits, and the receiver counts up to 128 back
// as stored: the window must hold far fewer packets than that.
constexpr size_t WINDOW_MAX_PACKETS = 64;
// A wait for answers. Silence never makes the sender go back by itself: the
// receiver asks for what it lacks (a NAK at once for a damaged or missing
// packet, and again after each 5 s of silence of its own, which also covers
// a lost NAK or a lost last ACK). Resending on silence would put packets on
// a line whose receiver may have gone back to the monitor.
constexpr milliseconds ANSWER_WAIT(5000);
constexpr int MAX_SILENT_WAITS = 10;  // in a row: as long as the XMODEM sender waits for a byte
constexpr milliseconds END_WAIT(1000);  // for the answer to EOT, ~EOT (the receiver waits 20 ms of quiet first)
constexpr int MAX_GOES_BACK = 10;       // NAKs in a row without progress
constexpr size_t READ_CHUNK = 256;

int64_t packet_time_us(size_t bytes, unsigned long rate) {
    return static_cast<int64_t>(bytes) * BITS_PER_BYTE * 1000000 / static_cast<int64_t>(rate);
}

// Writes all of data (a packet, or EOT, ~EOT), recording its first byte for the receiver session.
void write_all(int port_fd, const unsigned char* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t count;
        {
            ExitSignalsHeld held;
            count = write(port_fd, data + done, length - done);
            if (count > 0 && done == 0) receiver_session_sent(data[0]);
        }
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) error_exit("Error:  xmodem_sendline failed to write line");
        done += static_cast<size_t>(count);
    }
}

// Bytes from the receiver within wait; none on silence. The progress tick
// redraws the meter on its way. Each byte is recorded for the receiver session.
size_t read_answers(int port_fd, unsigned char* bytes, milliseconds wait) {
    const auto give_up = Clock::now() + wait;
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(give_up - Clock::now()).count();
        if (left <= 0) return 0;
        // The meter's tick ends the wait, so that the meter is redrawn on time.
        const ByteWait wait = wait_for_byte(port_fd, milliseconds(left), OnSignal::end);
        progress_redraw_if_due();
        if (wait == ByteWait::interrupted) continue;
        if (wait == ByteWait::failed) error_exit("Error:  xmodem_getbyte failed to read byte");
        if (wait == ByteWait::quiet) return 0;
        // A hung-up line is silent until the wait is over.
        if (wait == ByteWait::hung_up) {
            usleep(static_cast<useconds_t>(left) * 1000);
            continue;
        }
        ssize_t count;
        {
            ExitSignalsHeld held;
            count = read(port_fd, bytes, READ_CHUNK);
            for (ssize_t i = 0; i < count; ++i) receiver_session_read(bytes[i]);
        }
        if (count > 0) return static_cast<size_t>(count);
        if (count < 0 && errno != EINTR && errno != EAGAIN) error_exit("Error:  xmodem_getbyte failed to read byte");
        // Readable but empty: a hung-up line, silent until the wait is over.
        if (line_hung_up(port_fd)) usleep(static_cast<useconds_t>(left) * 1000);
    }
}

// The receiver gave up (CAN, CAN) and is on its way back to the monitor.
void cancelled_exit() {
    receiver_session_stream_stopped();
    refuse_exit("%s", TRANSFER_CANCELLED_MESSAGE);
}

// The monitor's prompt among what the line says: the receiver has given up
// and is back at the monitor (its CANs lost or garbled on the way, as when
// the two ends ended up at different rates). No answer of the receiver spells
// a prompt: every third byte of them is an ACK or a NAK.
constexpr size_t PROMPT_TAIL = 64;  // the bytes kept where the prompt is sought

bool receiver_back_at_monitor(LineEndRule monitor_prompt, std::string& tail, const unsigned char* bytes, size_t count) {
    tail.append(reinterpret_cast<const char*>(bytes), count);
    if (tail.size() > PROMPT_TAIL) tail.erase(0, tail.size() - PROMPT_TAIL);
    return monitor_prompt != nullptr && monitor_prompt(tail);
}

// After a stop (SIGSTOP, CTRL-Z) what waits on the line is stale: the receiver
// may have given up and gone back to the monitor meanwhile, and its queued
// NAKs would send us back into the monitor's command line. So the stale bytes
// are dropped until the line is quiet, and only a fresh answer of the receiver
// (three bytes with their complement, which no monitor text makes; it NAKs by
// itself after each of its time-outs) lets the sending go on.
constexpr milliseconds STALE_QUIET(300);
constexpr milliseconds STALE_LIMIT(3000);     // a babbling line ends the drop all the same
constexpr milliseconds CONTINUE_WAIT(12000);  // two of the receiver's 5 s time-outs, and margin

StreamAnswer fresh_answer_after_continue(int port_fd, LineEndRule monitor_prompt) {
    unsigned char bytes[READ_CHUNK];
    std::string stale_tail;
    bool prompt_seen = false;
    const auto stale_end = Clock::now() + STALE_LIMIT;
    for (size_t count; Clock::now() < stale_end && (count = read_answers(port_fd, bytes, STALE_QUIET)) > 0;)
        prompt_seen = receiver_back_at_monitor(monitor_prompt, stale_tail, bytes, count) || prompt_seen;
    // Back at the monitor: it is sent nothing more, CANs included.
    if (prompt_seen) {
        receiver_session_stream_stopped();
        refuse_exit("Error:  the receiver was lost while kelvane was stopped.  Aborting.");
    }
    StreamAnswerReader reader;
    const auto give_up = Clock::now() + CONTINUE_WAIT;
    while (Clock::now() < give_up) {
        const auto left = std::chrono::duration_cast<milliseconds>(give_up - Clock::now());
        const size_t count = read_answers(port_fd, bytes, std::max(left, milliseconds(1)));
        for (size_t i = 0; i < count; ++i) {
            const std::optional<StreamAnswer> answer = stream_answer_take(reader, bytes[i]);
            if (!answer) continue;
            if (answer->code == CAN) cancelled_exit();
            return *answer;
        }
    }
    refuse_exit("Error:  the receiver was lost while kelvane was stopped.  Aborting.");
}

}  // namespace

size_t stream_window_bytes(unsigned long rate) {
    const int64_t cover_us = WINDOW_COVER * (packet_time_us(STREAM_LONG_PACKET_SIZE, rate) +
                                             std::chrono::microseconds(ADAPTER_LATENCY + HOST_WAKE_UP).count() +
                                             packet_time_us(ANSWER_SIZE, rate));
    const auto bytes = static_cast<size_t>(cover_us * static_cast<int64_t>(rate) / BITS_PER_BYTE / 1000000);
    return std::max(bytes, static_cast<size_t>(WINDOW_MIN_PACKETS * STREAM_LONG_PACKET_SIZE));
}

std::optional<StreamAnswer> stream_answer_take(StreamAnswerReader& reader, unsigned char byte) {
    reader.recent[0] = reader.recent[1];
    reader.recent[1] = reader.recent[2];
    reader.recent[2] = byte;
    if (reader.held < 3) ++reader.held;
    const unsigned char code = reader.recent[0];
    if (reader.held == 3 && (code == ACK || code == NAK) &&
        reader.recent[1] <= STREAM_ANSWER_BITS && reader.recent[2] == (reader.recent[1] ^ STREAM_ANSWER_BITS)) {
        reader.held = 0;  // its bytes start no other answer
        return StreamAnswer{code, reader.recent[1]};
    }
    // The receiver's give-up; an answer's block and complement are never both CAN.
    if (reader.held >= 2 && reader.recent[1] == CAN && reader.recent[2] == CAN) {
        reader.held = 0;
        return StreamAnswer{CAN, 0};
    }
    return std::nullopt;
}

StreamStep stream_window_answer(StreamWindow& window, StreamAnswer answer) {
    StreamStep step;
    if (window.packets.empty()) return step;
    // Blocks in the window are consecutive: the answer's place in it, by seven bits.
    const size_t named = (answer.block - window.packets.front().block) & STREAM_ANSWER_BITS;
    // ACK b: everything up to b is stored. NAK b: everything before b is,
    // b may be the first packet not yet sent (the receiver waited for it).
    if (answer.code == ACK ? named >= window.sent : named > window.sent) return step;  // late, or unknown
    const size_t stored = answer.code == ACK ? named + 1 : named;
    for (size_t i = 0; i < stored; ++i) {
        step.acknowledged += window.packets.front().data_size;
        window.sent_bytes -= window.packets.front().wire.size();
        window.packets.pop_front();
    }
    window.sent -= stored;
    if (answer.code == NAK) {
        stream_window_go_back(window);
        step.went_back = true;
    }
    return step;
}

bool stream_window_open(const StreamWindow& window, size_t window_bytes) {
    return window.sent < WINDOW_MIN_PACKETS ||
           (window.sent_bytes < window_bytes && window.sent < WINDOW_MAX_PACKETS);
}

void stream_window_go_back(StreamWindow& window) {
    window.sent = 0;
    window.sent_bytes = 0;
}

StreamPacket stream_packet_of(const XmodemTransfer& transfer) {
    StreamPacket packet;
    packet.block = static_cast<unsigned char>(transfer.block_number);
    packet.data_size = transfer.data_size;
    const unsigned char* data = transfer.packet + HEADER_SIZE;
    packet.wire.reserve(static_cast<size_t>(HEADER_SIZE + transfer.data_size + STREAM_CHECK_SIZE));
    packet.wire.push_back(transfer.data_size == XMODEM_1K_DATA_SIZE ? STX : SOH);
    packet.wire.push_back(packet.block);
    packet.wire.push_back(static_cast<unsigned char>(~packet.block));
    packet.wire.insert(packet.wire.end(), data, data + transfer.data_size);
    // The digest holds this packet already: the CRC-32 of everything sent with it.
    for (int shift = 0; shift < 32; shift += 8)
        packet.wire.push_back(static_cast<unsigned char>(transfer.digest.crc >> shift));
    return packet;
}

namespace {

// Keeps the window full and follows the answers until every packet is stored.
void stream_blocks(XmodemTransfer& transfer, size_t window_bytes) {
    StreamWindow window;
    StreamAnswerReader reader;
    bool file_done = false;
    int goes_back = 0;
    int silent_waits = 0;
    std::string line_tail;
    unsigned char bytes[READ_CHUNK];
    while (!file_done || !window.packets.empty()) {
        while (stream_window_open(window, window_bytes)) {
            if (window.sent == window.packets.size()) {
                if (file_done) break;
                file_done = xmodem_readblock(transfer);
                xmodem_digest_packet(transfer);
                window.packets.push_back(stream_packet_of(transfer));
                transfer.block_number = (transfer.block_number + 1) % 256;
            }
            const StreamPacket& packet = window.packets[window.sent];
            write_all(transfer.port_fd, packet.wire.data(), packet.wire.size());
            ++window.sent;
            window.sent_bytes += packet.wire.size();
        }
        if (window.sent == 0) continue;
        const size_t count = read_answers(transfer.port_fd, bytes, ANSWER_WAIT);
        if (count == 0) {
            if (++silent_waits >= MAX_SILENT_WAITS) refuse_exit("Error:  Read timeout.  Abort.");
            continue;
        }
        silent_waits = 0;
        if (sender_was_continued()) {
            reader = StreamAnswerReader{};
            line_tail.clear();
            const StreamStep step =
                stream_window_answer(window, fresh_answer_after_continue(transfer.port_fd, transfer.monitor_prompt));
            transfer.meter->bytes_done += step.acknowledged;
            continue;
        }
        if (receiver_back_at_monitor(transfer.monitor_prompt, line_tail, bytes, count)) cancelled_exit();
        for (size_t i = 0; i < count; ++i) {
            const std::optional<StreamAnswer> answer = stream_answer_take(reader, bytes[i]);
            if (!answer) continue;
            if (answer->code == CAN) cancelled_exit();
            const StreamStep step = stream_window_answer(window, *answer);
            if (step.acknowledged > 0) goes_back = 0;
            if (step.went_back && ++goes_back > MAX_GOES_BACK)
                refuse_exit("Error:  Received NAK too many times.  Abort.");
            transfer.meter->bytes_done += step.acknowledged;
        }
    }
}

// EOT, ~EOT until the receiver's "ACK e", e the block after the last.
void stream_end(XmodemTransfer& transfer) {
    const unsigned char end[] = {EOT, STREAM_END_SECOND};
    const auto after_last = static_cast<unsigned char>(transfer.block_number & STREAM_ANSWER_BITS);
    StreamAnswerReader reader;
    unsigned char bytes[READ_CHUNK];
    for (int tries = 0; tries <= MAX_GOES_BACK; ++tries) {
        write_all(transfer.port_fd, end, sizeof end);
        const auto give_up = Clock::now() + END_WAIT;
        while (Clock::now() < give_up) {
            const auto left = std::chrono::duration_cast<milliseconds>(give_up - Clock::now());
            const size_t count = read_answers(transfer.port_fd, bytes, std::max(left, milliseconds(1)));
            for (size_t i = 0; i < count; ++i) {
                const std::optional<StreamAnswer> answer = stream_answer_take(reader, bytes[i]);
                if (!answer) continue;
                if (answer->code == CAN) cancelled_exit();
                if (answer->code == ACK && answer->block == after_last) {
                    receiver_session_stream_stopped();
                    return;
                }
            }
        }
    }
    refuse_exit("Error:  Read timeout.  Abort.");
}

}  // namespace

int64_t stream_send(const char* file_name, int port_fd, XmodemDigest* digest, const StreamOptions& options) {
    XmodemTransfer transfer{};
    ProgressMeter own_meter;
    transfer.meter = options.meter != nullptr ? options.meter : &own_meter;
    xmodem_open(transfer, file_name, port_fd, options.checked);
    transfer.large_packets = true;
    transfer.monitor_prompt = options.monitor_prompt;
    receiver_session_streamed();
    if (!options.start_nak_seen) xmodem_await_start(transfer, options.start_text);
    show_progress(*transfer.meter, ProgressDraw::first);
    progress_tick_start(*transfer.meter);
    stream_blocks(transfer, stream_window_bytes(options.rate));
    progress_tick_stop();
    stream_end(transfer);
    show_progress(*transfer.meter, ProgressDraw::complete);
    close(transfer.file_fd);
    if (digest != nullptr) *digest = transfer.digest;
    return transfer.check.size;
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "transfer/stream_send.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "core/exit_signals.h"
#include "core/fatal.h"
#include "core/kept_texts.h"
#include "serial/byte_wait.h"
#include "serial/line_assembly.h"
#include "transfer/progress.h"
#include "transfer/receiver_session.h"
#include "transfer/sender_guard.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int HEADER_SIZE = 3;     // the XMODEM packet's mark, block, complement: the data follow
constexpr int BITS_PER_BYTE = 10;  // start, eight data bits, stop
// The window must keep the line busy until the first frame's answer is back:
// that frame's own time on the line, an adapter's latency timer (16 ms on
// common ones, where the driver ignores the low-latency request), the
// answer's three bytes and a busy host's wake-up on its way back (measured up
// to some 30 ms on two loaded cores). Twice that, so that a late wake-up or a
// second latency period still finds the line busy; a fault then costs at most
// that much again (about 0.12 s at 921600 bit/s, 0.3 s at 115200).
constexpr milliseconds ADAPTER_LATENCY(16);
constexpr milliseconds HOST_WAKE_UP(30);
constexpr int WINDOW_COVER = 2;
constexpr int WINDOW_MIN_FRAMES = 2;
// Answers name a block by seven bits, and the receiver counts up to 128 back
// as stored: the window must hold far fewer frames than that.
constexpr size_t WINDOW_MAX_FRAMES = 64;
// A wait for answers. Silence never makes the sender go back by itself: the
// receiver asks for what it lacks (a NAK at once for a damaged or missing
// frame, and again after each 5 s of silence of its own, which also covers
// a lost NAK or a lost last ACK). Resending on silence would put frames on
// a line whose receiver may have gone back to the monitor.
constexpr milliseconds ANSWER_WAIT(5000);
constexpr int MAX_SILENT_WAITS = 10;  // in a row: as long as the XMODEM sender waits for a byte
constexpr int MAX_GOES_BACK = 10;     // NAKs in a row without progress
constexpr int MAX_END_TRIES = 10;     // ENDs (or waits for a fresh answer) without LEAVING D
constexpr milliseconds RESEND(STREAM_RESEND_MS);
constexpr milliseconds SEND_WINDOW(STREAM_SEND_WINDOW_MS);
// A receiver that leaves without our BYE goes back to the monitor's rate once
// the line has been quiet this long after our last END's arrival: the
// adapter's latency and the END's own time come on top.
constexpr milliseconds LEAVE_QUIET(STREAM_LEAVE_QUIET_MS + 100);
constexpr size_t READ_CHUNK = 256;

int64_t frame_time_us(size_t bytes, unsigned long rate) {
    return static_cast<int64_t>(bytes) * BITS_PER_BYTE * 1000000 / static_cast<int64_t>(rate);
}

// Writes all of data (frames, or a control frame).
void write_all(int port_fd, const unsigned char* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t count = write(port_fd, data + done, length - done);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) error_exit("Error:  xmodem_sendline failed to write line");
        done += static_cast<size_t>(count);
    }
}

// Bytes from the receiver within wait; none on silence. The progress tick
// redraws the meter on its way.
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
        const ssize_t count = read(port_fd, bytes, READ_CHUNK);
        if (count > 0) return static_cast<size_t>(count);
        if (count < 0 && errno != EINTR && errno != EAGAIN) error_exit("Error:  xmodem_getbyte failed to read byte");
        // Readable but empty: a hung-up line, silent until the wait is over.
        if (line_hung_up(port_fd)) usleep(static_cast<useconds_t>(left) * 1000);
    }
}

// The receiver gave up and is on its way back to the monitor: nothing more
// goes on the line, so that nothing reaches it once it is there.
[[noreturn]] void cancelled_exit() {
    receiver_session_stream_left();
    refuse_exit("%s", TRANSFER_CANCELLED_MESSAGE);
}

[[noreturn]] void lost_exit() {
    receiver_session_stream_left();
    refuse_exit("Error:  the receiver was lost while kelvane was stopped.  Aborting.");
}

// The monitor's prompt among what the line says: the receiver has given up
// and is back at the monitor (its LEAVING lost or garbled on the way, as when
// the two ends ended up at different rates). No answer of the receiver spells
// a prompt: every third byte of them is an ACK, a NAK or a LEAVING.
constexpr size_t PROMPT_TAIL = 64;  // the bytes kept where the prompt is sought

bool receiver_back_at_monitor(LineEndRule monitor_prompt, std::string& tail, const unsigned char* bytes, size_t count) {
    tail.append(reinterpret_cast<const char*>(bytes), count);
    if (tail.size() > PROMPT_TAIL) tail.erase(0, tail.size() - PROMPT_TAIL);
    return monitor_prompt != nullptr && monitor_prompt(tail);
}

// After a stop (SIGSTOP, CTRL-Z) what waits on the line is stale: the receiver
// may have given up and gone back to the monitor meanwhile, and its queued
// NAKs would send us back into the monitor's command line. So the stale bytes
// are dropped until the line is quiet, and only a fresh ACK or NAK (which no
// monitor text makes; the receiver NAKs by itself after each of its
// time-outs) lets the sending go on.
constexpr milliseconds STALE_QUIET(300);
constexpr milliseconds STALE_LIMIT(3000);     // a babbling line ends the drop all the same
constexpr milliseconds CONTINUE_WAIT(12000);  // two of the receiver's 5 s time-outs, and margin

// stale holds the bytes read already since the stop (count of them).
StreamAnswer fresh_answer_after_continue(int port_fd, LineEndRule monitor_prompt, const unsigned char* stale,
                                         size_t count) {
    unsigned char bytes[READ_CHUNK];
    std::string stale_tail;
    StreamAnswerReader reader;
    bool gone = false;
    const auto judge_stale = [&](const unsigned char* chunk, size_t length) {
        gone = receiver_back_at_monitor(monitor_prompt, stale_tail, chunk, length) || gone;
        for (size_t i = 0; i < length; ++i) {
            const std::optional<StreamAnswer> answer = stream_answer_take(reader, chunk[i]);
            gone = gone || (answer && answer->code == STREAM_LEAVING);
        }
    };
    if (count > 0) judge_stale(stale, count);
    const auto stale_end = Clock::now() + STALE_LIMIT;
    while (Clock::now() < stale_end && (count = read_answers(port_fd, bytes, STALE_QUIET)) > 0)
        judge_stale(bytes, count);
    if (gone) lost_exit();
    reader = StreamAnswerReader{};
    const auto give_up = Clock::now() + CONTINUE_WAIT;
    while (Clock::now() < give_up) {
        const auto left = std::chrono::duration_cast<milliseconds>(give_up - Clock::now());
        const size_t count = read_answers(port_fd, bytes, std::max(left, milliseconds(1)));
        for (size_t i = 0; i < count; ++i) {
            const std::optional<StreamAnswer> answer = stream_answer_take(reader, bytes[i]);
            if (!answer) continue;
            if (answer->code == STREAM_LEAVING) lost_exit();
            return *answer;
        }
    }
    lost_exit();
}

}  // namespace

size_t stream_window_bytes(unsigned long rate) {
    const int64_t cover_us = WINDOW_COVER * (frame_time_us(STREAM_LONG_FRAME_MAX, rate) +
                                             std::chrono::microseconds(ADAPTER_LATENCY + HOST_WAKE_UP).count() +
                                             frame_time_us(STREAM_ANSWER_SIZE, rate));
    const auto bytes = static_cast<size_t>(cover_us * static_cast<int64_t>(rate) / BITS_PER_BYTE / 1000000);
    return std::max(bytes, static_cast<size_t>(WINDOW_MIN_FRAMES * STREAM_LONG_FRAME_MAX));
}

StreamStep stream_window_answer(StreamWindow& window, StreamAnswer answer) {
    StreamStep step;
    if (window.frames.empty()) return step;
    // Blocks in the window are consecutive: the answer's place in it, by seven bits.
    const size_t named = (answer.arg - window.frames.front().block) & STREAM_ANSWER_BITS;
    // ACK b: everything up to b is stored. NAK b: everything before b is,
    // b may be the first frame not yet sent (the receiver waited for it).
    if (answer.code == STREAM_ACK ? named >= window.sent : named > window.sent) return step;  // late, or unknown
    const size_t stored = answer.code == STREAM_ACK ? named + 1 : named;
    for (size_t i = 0; i < stored; ++i) {
        step.acknowledged += window.frames.front().data_size;
        window.sent_bytes -= window.frames.front().wire.size();
        window.frames.pop_front();
    }
    window.sent -= stored;
    if (answer.code == STREAM_NAK) {
        stream_window_go_back(window);
        step.went_back = true;
    }
    return step;
}

bool stream_window_open(const StreamWindow& window, size_t window_bytes) {
    return window.sent < WINDOW_MIN_FRAMES || (window.sent_bytes < window_bytes && window.sent < WINDOW_MAX_FRAMES);
}

void stream_window_go_back(StreamWindow& window) {
    window.sent = 0;
    window.sent_bytes = 0;
}

StreamFrame stream_frame_of(const XmodemTransfer& transfer) {
    StreamFrame frame;
    frame.block = static_cast<unsigned char>(transfer.block_number);
    frame.data_size = transfer.data_size;
    const unsigned char* data = transfer.packet + HEADER_SIZE;
    std::vector<unsigned char> content;
    content.reserve(static_cast<size_t>(1 + transfer.data_size + STREAM_CHECK_SIZE));
    content.push_back(frame.block);
    content.insert(content.end(), data, data + transfer.data_size);
    // The digest holds this packet already: the CRC-32 of everything sent with it.
    for (int shift = 0; shift < 32; shift += 8)
        content.push_back(static_cast<unsigned char>(transfer.digest.crc >> shift));
    frame.wire.resize(stream_frame_room(content.size()));
    frame.wire.resize(stream_frame_encode(content.data(), content.size(), frame.wire.data()));
    return frame;
}

namespace {

// One streamed transfer, from the first frame to the receiver's leaving.
struct Stream {
    Stream(XmodemTransfer& t, size_t bytes) : transfer(t), window_bytes(bytes) {}
    XmodemTransfer& transfer;
    size_t window_bytes;
    StreamWindow window;
    StreamAnswerReader reader;
    std::string line_tail;
    bool file_done = false;
    int goes_back = 0;
    int silent_waits = 0;
    // The end. While an END is out the receiver may be leaving: a byte goes
    // out only until open_until, which an END or a fresh ACK or NAK moves.
    bool end_out = false;
    bool end_again = false;  // the wait for LEAVING ran out: END once more
    int end_tries = 0;
    Clock::time_point end_written{};  // when the last END's write returned
    Clock::time_point open_until{};
    Clock::time_point end_wait_over{};  // until then an answer to the END may come
};

int port(const Stream& s) { return s.transfer.port_fd; }

bool all_out(const Stream& s) { return s.file_done && s.window.sent == s.window.frames.size(); }

// Writes frames while the window is open; false when a stop came in between,
// after which nothing more goes out until the receiver has answered afresh.
bool fill_window(Stream& s) {
    while (stream_window_open(s.window, s.window_bytes)) {
        if (sender_was_continued()) return false;
        if (s.window.sent == s.window.frames.size()) {
            if (s.file_done) break;
            s.file_done = xmodem_readblock(s.transfer);
            xmodem_digest_packet(s.transfer);
            s.window.frames.push_back(stream_frame_of(s.transfer));
            s.transfer.block_number = (s.transfer.block_number + 1) % 256;
        }
        const StreamFrame& frame = s.window.frames[s.window.sent];
        write_all(port(s), frame.wire.data(), frame.wire.size());
        ++s.window.sent;
        s.window.sent_bytes += frame.wire.size();
    }
    return true;
}

void send_end(Stream& s) {
    unsigned char frame[STREAM_CONTROL_FRAME_MAX];
    const size_t length = stream_control_frame(STREAM_END, static_cast<unsigned char>(s.transfer.block_number), frame);
    {
        // The session learns of the END with it, whatever signal comes.
        ExitSignalsHeld held;
        write_all(port(s), frame, length);
        receiver_session_stream_end_sent();
    }
    s.end_written = Clock::now();
    s.open_until = s.end_written + SEND_WINDOW;
    s.end_wait_over = s.end_written + RESEND;
    s.end_out = true;
    s.end_again = false;
    ++s.end_tries;
}

// No LEAVING came in time for the last END.
void end_unanswered(Stream& s) {
    // The receiver may be leaving with its answers lost, or may never have
    // heard an END whole: it is stopped now, while this END's send window is
    // still open, by an ABORT that either kind answers with LEAVING.
    if (s.end_tries >= MAX_END_TRIES) {
        receiver_abort();
        refuse_exit("Error:  Read timeout.  Abort.");
    }
    if (Clock::now() <= s.open_until) {
        s.end_again = true;
        return;
    }
    // Too late for another END: only a fresh answer shows that the receiver still listens.
    ++s.end_tries;
    s.end_wait_over = Clock::now() + ANSWER_WAIT;
}

// LEAVING D: everything is stored. BYE lets the receiver go at once; too
// late for it, the receiver goes once the line has been quiet, and the
// wake-up after us must find it at the monitor's rate.
void stream_done(Stream& s) {
    for (const StreamFrame& frame : s.window.frames) s.transfer.meter->bytes_done += frame.data_size;
    s.window = StreamWindow{};
    if (Clock::now() <= s.open_until) {
        unsigned char frame[STREAM_CONTROL_FRAME_MAX];
        const size_t length = stream_control_frame(STREAM_BYE, 0, frame);
        ExitSignalsHeld held;
        write_all(port(s), frame, length);
        receiver_session_stream_bye();
        return;
    }
    receiver_session_stream_left();
    std::this_thread::sleep_until(s.end_written + LEAVE_QUIET);
}

// Acts on the answers of one batch; true when the receiver left with everything stored.
bool take_answers(Stream& s, const std::vector<StreamAnswer>& answers) {
    // A receiver that left is sent nothing more, whatever it NAKed before.
    for (const StreamAnswer& answer : answers) {
        if (answer.code != STREAM_LEAVING) continue;
        if (s.end_out && answer.arg == STREAM_LEFT_DONE) {
            stream_done(s);
            return true;
        }
        cancelled_exit();
    }
    for (const StreamAnswer& answer : answers) {
        if (s.end_out) {
            // Still receiving: it is not leaving before our next END.
            s.open_until = Clock::now() + SEND_WINDOW;
            receiver_session_stream_answered();
        }
        StreamStep step = stream_window_answer(s.window, answer);
        // All is acknowledged and the END was damaged: the receiver asks for the block after the last.
        if (s.window.frames.empty() && answer.code == STREAM_NAK &&
            answer.arg == (s.transfer.block_number & STREAM_ANSWER_BITS))
            step.went_back = true;
        if (step.acknowledged > 0) {
            s.goes_back = 0;
            s.end_tries = 0;
        }
        if (step.went_back) {
            if (++s.goes_back > MAX_GOES_BACK) refuse_exit("Error:  Received NAK too many times.  Abort.");
            // Back to the frames; the END follows them again.
            s.end_out = false;
        }
        s.transfer.meter->bytes_done += step.acknowledged;
    }
    return false;
}

std::vector<StreamAnswer> answers_in(Stream& s, const unsigned char* bytes, size_t count) {
    std::vector<StreamAnswer> answers;
    for (size_t i = 0; i < count; ++i)
        if (const std::optional<StreamAnswer> answer = stream_answer_take(s.reader, bytes[i]))
            answers.push_back(*answer);
    return answers;
}

// Keeps the window full, ends the stream and follows the answers until the receiver leaves.
void stream_run(Stream& s) {
    const unsigned char first = STREAM_DELIMITER;  // ends whatever the receiver took before our first frame
    write_all(port(s), &first, 1);
    unsigned char bytes[READ_CHUNK];
    // After a stop: the bytes read since (stale) are judged with the rest of the stale ones.
    const auto after_continue = [&s](const unsigned char* stale, size_t count) {
        s.reader = StreamAnswerReader{};
        s.line_tail.clear();
        return take_answers(s, {fresh_answer_after_continue(port(s), s.transfer.monitor_prompt, stale, count)});
    };
    for (;;) {
        if (sender_was_continued() && after_continue(nullptr, 0)) return;
        if (!s.end_out || Clock::now() <= s.open_until) {
            if (!fill_window(s)) {
                if (after_continue(nullptr, 0)) return;
                continue;
            }
            if (all_out(s) && (!s.end_out || s.end_again)) send_end(s);
        }
        const milliseconds wait =
            s.end_out ? std::max(std::chrono::ceil<milliseconds>(s.end_wait_over - Clock::now()), milliseconds(1))
                      : ANSWER_WAIT;
        const size_t count = read_answers(port(s), bytes, wait);
        if (count > 0 && sender_was_continued()) {
            if (after_continue(bytes, count)) return;
            continue;
        }
        if (count > 0) {
            s.silent_waits = 0;
            if (receiver_back_at_monitor(s.transfer.monitor_prompt, s.line_tail, bytes, count)) cancelled_exit();
            if (take_answers(s, answers_in(s, bytes, count))) return;
        } else if (!s.end_out && ++s.silent_waits >= MAX_SILENT_WAITS) {
            refuse_exit("Error:  Read timeout.  Abort.");
        }
        if (s.end_out && Clock::now() >= s.end_wait_over) end_unanswered(s);
    }
}

}  // namespace

int64_t stream_send(const char* file_name, int port_fd, XmodemDigest* digest, const StreamOptions& options) {
    XmodemTransfer transfer{};
    ProgressMeter own_meter;
    transfer.meter = options.meter != nullptr ? options.meter : &own_meter;
    xmodem_open(transfer, file_name, port_fd, options.checked);
    transfer.large_packets = true;
    transfer.monitor_prompt = options.monitor_prompt;
    if (!options.start_nak_seen) xmodem_await_start(transfer, options.start_text);
    show_progress(*transfer.meter, ProgressDraw::first);
    progress_tick_start(*transfer.meter);
    Stream stream(transfer, stream_window_bytes(options.rate));
    stream_run(stream);
    progress_tick_stop();
    show_progress(*transfer.meter, ProgressDraw::complete);
    close(transfer.file_fd);
    if (digest != nullptr) *digest = transfer.digest;
    return transfer.check.size;
}

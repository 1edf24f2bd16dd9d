// SPDX-License-Identifier: GPL-2.0-or-later
#include "transfer/loader_upload.h"

#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/errno_guard.h"
#include "core/fatal.h"
#include "serial/byte_wait.h"
#include "serial/port.h"
#include "transfer/control_bytes.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned char SEVEN_BITS = 0x7F;  // the line is 7-bit; a stray bit 7 must not hide ACK or NAK
// The monitor answers a line as soon as its ETX arrives, after an echo of at
// most the line itself (well under 0.1 s at 115200 bit/s); a line that keeps
// talking this long without ACK or NAK is babble, not an answer.
constexpr auto LINE_ANSWER_LIMIT = std::chrono::seconds(5);
// Ending a load: ETX closes the part of a line the monitor holds, then the
// upload's own end record ends "load" and brings the prompt back. Any of these
// bytes may be lost as the line's first was, so the end is tried again.
constexpr int LOAD_END_TRIES = 3;
constexpr std::chrono::milliseconds LOAD_END_QUIET{300};        // the monitor has answered a byte by then
constexpr auto LOAD_END_REPLY_LIMIT = std::chrono::seconds(2);  // however much it says in reply
constexpr size_t LOAD_END_TEXT_KEPT = 256;                      // the tail where a prompt is sought

// Reads what the monitor says until it has been quiet a while (or the limit
// passes); the tail of the text read.
std::string read_reply(int port_fd, bool& heard) {
    std::string text;
    const auto give_up = Clock::now() + LOAD_END_REPLY_LIMIT;
    while (Clock::now() < give_up) {
        if (wait_for_byte(port_fd, LOAD_END_QUIET, OnSignal::end) != ByteWait::ready) break;
        char byte = 0;
        if (read(port_fd, &byte, 1) != 1) break;
        heard = true;
        // NULs are dropped here as the line reader drops them.
        if ((byte & SEVEN_BITS) != 0) text += static_cast<char>(byte & SEVEN_BITS);
        if (text.size() > 2 * LOAD_END_TEXT_KEPT) text.erase(0, text.size() - LOAD_END_TEXT_KEPT);
    }
    return text;
}

bool write_all(int port_fd, const std::string& bytes) {
    return write(port_fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

// The end record's line with its ETX.
std::string end_record_line(const char* end_record) { return std::string(end_record) + static_cast<char>(ETX); }

// Brings a monitor left inside "load" back to its prompt with the upload's own
// end record; record_closed when the monitor has just answered a whole line
// (a NAK), so no ETX is due first. Never ends the run itself (the caller
// reports the failure that brought it here). True when any byte came back.
bool end_load(int port_fd, LineEndRule monitor_prompt, const char* end_record, bool record_closed) {
    const ErrnoGuard errno_kept;
    bool heard = false;
    for (int attempt = 0; attempt < LOAD_END_TRIES; ++attempt) {
        if (attempt > 0 || !record_closed) {
            if (write(port_fd, &ETX, 1) != 1) return heard;
            read_reply(port_fd, heard);
        }
        if (!write_all(port_fd, end_record_line(end_record))) return heard;
        if (monitor_prompt(read_reply(port_fd, heard))) return heard;
    }
    return heard;
}

// Why an upload ends: a read that failed (its errno is reported) or the
// program's own judgement of what the monitor said.
enum class UploadFailure { failed_read, judgement };

// What is uploaded, and how its load is ended when the upload fails.
struct Upload {
    int port_fd;
    LineEndRule monitor_prompt;
    const char* end_record;  // the upload's last line
};

// The monitor left at its prompt first, then the run ends with the message;
// nak when the monitor has just refused a whole line.
[[noreturn]] __attribute__((format(printf, 4, 5))) void upload_failed(const Upload& upload, UploadFailure failure,
                                                                      bool nak, const char* format, ...) {
    end_load(upload.port_fd, upload.monitor_prompt, upload.end_record, nak);
    char message[ERROR_MESSAGE_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (failure == UploadFailure::failed_read) error_exit("%s", message);
    refuse_exit("%s", message);
}

// Reads until the monitor answers the line just sent. last_byte carries the
// last byte received across the whole upload, for the failure message.
void await_line_answer(const Upload& upload, unsigned char& last_byte) {
    const int port_fd = upload.port_fd;
    const auto give_up = Clock::now() + LINE_ANSWER_LIMIT;
    for (;;) {
        unsigned char byte = 0;
        // One byte per read; 0.5 s of silence (or a hung-up line) is no answer.
        const ByteWait wait = wait_for_byte(port_fd, PORT_READ_SILENCE);
        const ssize_t got = wait == ByteWait::ready ? read(port_fd, &byte, 1) : 0;
        if (got != 1) {
            const bool failed_read = got < 0 || wait == ByteWait::failed;
            upload_failed(upload, failed_read ? UploadFailure::failed_read : UploadFailure::judgement, false,
                          "Error: ex_send read '0x%x' instead of ACK", last_byte);
        }
        last_byte = byte & SEVEN_BITS;
        if (last_byte == NAK)
            upload_failed(upload, UploadFailure::judgement, true, "Error:  ex_send received NAK.  Aborting");
        if (last_byte == ACK) return;
        // Anything else is the monitor's echo or chatter, but not for ever.
        if (Clock::now() >= give_up)
            upload_failed(upload, UploadFailure::judgement, false,
                          "Error:  ex_send got no ACK within %lld s, only other bytes.  Aborting",
                          static_cast<long long>(LINE_ANSWER_LIMIT.count()));
    }
}

void send_lines(int port_fd, LineEndRule monitor_prompt, const char (*lines)[LOADER_SREC_SLOT], int count) {
    const Upload upload{port_fd, monitor_prompt, lines[count - 1]};
    // Reported as 0 when the very first answer never comes.
    unsigned char last_byte = 0;
    for (int line = 0; line < count; ++line) {
        const char* text = lines[line];
        port_send(port_fd, text, static_cast<int>(strlen(text)), Capture::skip);
        port_send(port_fd, &ETX, 1, Capture::skip);
        await_line_answer(upload, last_byte);
    }
}

}  // namespace

void ex_send(int port_fd, LineEndRule monitor_prompt) { send_lines(port_fd, monitor_prompt, loader_srec, loader_srec_count); }

void ex_send_stream_stage(int port_fd, LineEndRule monitor_prompt) {
    send_lines(port_fd, monitor_prompt, stream_srec, stream_srec_count);
}

bool end_open_load(int port_fd, LineEndRule monitor_prompt) {
    bool heard = false;
    // A monitor back at its prompt (a receiver that was stopped returns there) holds no load.
    if (monitor_prompt(read_reply(port_fd, heard))) return true;
    return end_load(port_fd, monitor_prompt, loader_srec[loader_srec_count - 1], false) || heard;
}

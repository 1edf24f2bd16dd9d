// SPDX-License-Identifier: GPL-2.0-or-later
#include "serial/line_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/fatal.h"
#include "serial/byte_wait.h"
#include "serial/capture.h"

namespace {

using Clock = std::chrono::steady_clock;

// The first byte of a line is awaited this long (ten of the original 5 s waits).
constexpr std::chrono::seconds FIRST_BYTE_LIMIT{50};
// Once a line has begun, this long without a character stored ends the read as
// a time-out (the same 50 s as the first byte): a device that stops mid-line,
// or a line that sends only bytes a line drops (NUL, endless CR and LF),
// cannot hang the run.
constexpr std::chrono::seconds LINE_SILENCE_LIMIT = FIRST_BYTE_LIMIT;
// A drain ends after this long without input.
constexpr std::chrono::milliseconds DRAIN_QUIET{100};
// A drain that never meets its quiet time ends the run after this long. At
// 115200 bit/s it is over 100 KiB, far more than any reply the monitor gives
// to a command or a wake-up (its start-up banner included): a line that talks
// on is babbling, and the drain must not hold the port for ever.
constexpr std::chrono::seconds DRAIN_LIMIT{10};

constexpr char CR = 0x0D;

}  // namespace

LineReader::LineReader(int port_fd, LineEndRule ends_line)
    : port_fd(port_fd), assembly{.ends_line = ends_line}, capture(capture_enabled) {}

bool LineReader::line_has_end_text() const {
    return assembly.ends_line != nullptr && assembly.ends_line(std::string_view(line()));
}

bool LineReader::hung_up() const { return line_hung_up(port_fd); }

int LineReader::read_byte(char& byte) {
    switch (wait_for_byte(port_fd, PORT_READ_SILENCE)) {
        case ByteWait::ready:
            // No signal is armed while lines are read, so a failed read is a real failure.
            return static_cast<int>(read(port_fd, &byte, 1));
        case ByteWait::failed:
            return -1;
        default:
            return 0;  // silence, or a hung-up line that the caller asks about
    }
}

void LineReader::capture_text(const char* text, int length) const {
    if (capture) capture_write(text, length);
}

void LineReader::send(const void* payload, int length, Capture capture_as) {
    port_send(port_fd, payload, length, Capture::skip);
    if (capture_as == Capture::record) capture_text(static_cast<const char*>(payload), length);
}

void LineReader::readline_failed_exit(const char* message) const {
    if (read_failed) error_exit("%s", message);
    refuse_exit("%s", message);
}

int LineReader::readline() {
    line_clear(assembly);
    read_failed = false;
    const ByteWait first = wait_for_byte(port_fd, FIRST_BYTE_LIMIT);
    if (first != ByteWait::ready) {
        read_failed = first == ByteWait::failed;
        return -1;
    }

    // Only a stored character is progress; dropped bytes do not hold the line open.
    auto last_stored_at = Clock::now();
    for (bool complete = false; !complete;) {
        char byte = 0;
        const int got = read_byte(byte);
        if (got < 0) {
            read_failed = true;
            return -1;
        }
        if (got == 0) {
            // 0.5 s without input: the end text's last character may have been stored.
            complete = line_complete_on_silence(assembly);
            if (!complete && hung_up()) return -1;
            if (!complete && Clock::now() - last_stored_at >= LINE_SILENCE_LIMIT) return -1;
            continue;
        }
        switch (line_take_byte(assembly, byte)) {
            case LineStep::complete:
                complete = true;
                break;
            case LineStep::too_long:
                refuse_exit("Error:  port_readline line too long");
            case LineStep::stored:
                last_stored_at = Clock::now();
                break;
            case LineStep::dropped:
                if (Clock::now() - last_stored_at >= LINE_SILENCE_LIMIT) return -1;
                break;
        }
    }
    capture_text(line(), assembly.length);
    return 0;
}

bool LineReader::end_text_within(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    // Each read waits at most 0.5 s, so the limit is overrun by at most that.
    while (Clock::now() < deadline) {
        line_clear(assembly);
        bool complete = false;
        while (!complete && Clock::now() < deadline) {
            char byte = 0;
            const int got = read_byte(byte);
            if (got < 0) return false;
            if (got == 0) {
                complete = line_complete_on_silence(assembly);
                if (!complete && hung_up()) return false;
                continue;
            }
            const LineStep step = line_take_byte(assembly, byte);
            complete = step == LineStep::complete || step == LineStep::too_long;
        }
        if (!complete) return false;
        capture_text(line(), assembly.length);
        if (line_has_end_text()) return true;
    }
    return false;
}

std::string LineReader::readflush() {
    std::string drained;
    drained.reserve(DRAIN_TEXT_SIZE);
    const auto give_up = Clock::now() + DRAIN_LIMIT;
    do {
        char byte = 0;
        // The first read waits its 0.5 s like any other: a drain always costs one read.
        const int got = read_byte(byte);
        const bool gone = got == 0 && hung_up();
        if (gone) errno = EIO;  // the line is gone: as much a failed read as an error result
        if (got < 0 || gone) error_exit("Error:  port_readflush failed to read byte");
        // CR is dropped, LF kept; beyond a full buffer bytes are read and thrown away.
        if (got == 1 && byte != CR && drained.size() < DRAIN_TEXT_SIZE) drained += byte;
        if (Clock::now() >= give_up) {
            refuse_exit("Error:  port_readflush: the line did not fall quiet within %lld s.  Aborting.",
                        static_cast<long long>(DRAIN_LIMIT.count()));
        }
        // A signal during the quiet wait counts as input: the next read decides.
    } while (wait_for_byte(port_fd, DRAIN_QUIET, OnSignal::end) != ByteWait::quiet);
    // The log takes the text up to a NUL; the caller gets all of it.
    capture_text(drained.data(), static_cast<int>(strnlen(drained.data(), drained.size())));
    return drained;
}

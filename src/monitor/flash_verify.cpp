// SPDX-License-Identifier: GPL-2.0-or-later
#include "monitor/flash_verify.h"

#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/fatal.h"
#include "core/shown_text.h"
#include "monitor/monitor_commands.h"
#include "monitor/monitor_prompt.h"
#include "serial/byte_wait.h"
#include "serial/line_reader.h"
#include "transfer/control_bytes.h"

namespace {

constexpr char OFFER[] = "VERIFY";
constexpr int REQUEST_FIELD_SIZE = 4;  // offset, length and check, low byte first
constexpr int REQUEST_TRIES = 3;       // as many as the receiver takes
// Lines looked at for the offer (the command's echo comes first) and, after
// the ACK, for the report (a monitor's exception dump may come instead).
constexpr int OFFER_LINES = 4;
constexpr int REPORT_LINES = 16;
// Empty 0.5 s waits while the receiver answers a request: it waits up to 5 s
// for a byte that went missing before it refuses the request.
constexpr int ANSWER_EMPTY_READS = 16;
// Other bytes taken while waiting for the answer: the LF after the offer, noise.
constexpr int ANSWER_OTHER_BYTES = 64;
// The receiver's CRC loop takes 19 instructions a byte, about 4 us on the
// handheld by the loader's own measure of a poll (five instructions, about a
// microsecond): 8 MiB in some 35 s, within one 50 s wait of the line reader.
// A longer range is given one more wait for every 8 MiB.
constexpr uint32_t REPORT_BYTES_PER_WAIT = 8u << 20;

void put_le32(unsigned char* at, uint32_t value) {
    for (int i = 0; i < REQUEST_FIELD_SIZE; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

bool offer_seen(LineReader& line, const char* offer) {
    for (int i = 0; i < OFFER_LINES; ++i) {
        if (line.readline() != 0 || line_has_prompt(line.line())) return false;
        if (strcmp(line.line(), offer) == 0) return true;
    }
    return false;
}

enum class Answer { ack, nak, none };

Answer read_answer(int port_fd) {
    int empty = 0;
    int other = 0;
    while (empty < ANSWER_EMPTY_READS && other < ANSWER_OTHER_BYTES) {
        const ByteWait wait = wait_for_byte(port_fd, PORT_READ_SILENCE);
        if (wait == ByteWait::hung_up || wait == ByteWait::failed) return Answer::none;
        unsigned char byte = 0;
        const ssize_t got = wait == ByteWait::ready ? read(port_fd, &byte, 1) : 0;
        if (got < 0) return Answer::none;
        if (got == 0) {
            if (line_hung_up(port_fd)) return Answer::none;
            ++empty;
        } else if (byte == ACK) {
            return Answer::ack;
        } else if (byte == NAK) {
            return Answer::nak;
        } else {
            ++other;
        }
    }
    return Answer::none;
}

// The report line after the ACK; what comes instead of it is shown.
ReceiverCrc read_report(LineReader& line, uint32_t length) {
    uint32_t waits_left = length / REPORT_BYTES_PER_WAIT;
    for (int i = 0; i < REPORT_LINES; ++i) {
        const char* buffer = line.line();
        if (line.readline() != 0) {
            if (waits_left-- == 0) return {};
            continue;
        }
        if (line_has_prompt(buffer)) return {};
        if (strncmp(buffer, RECEIVER_CRC_TAG, sizeof RECEIVER_CRC_TAG - 1) == 0) return find_receiver_crc(buffer);
        fprintf(stderr, "\nWARNING:  '%s'\n", shown_text(buffer).c_str());
    }
    return {};
}

// A value the receiver refuses stands for one that does not fit its 32 bits.
uint32_t request_field(int64_t value) {
    return value < 0 || value > static_cast<int64_t>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(value);
}

}  // namespace

std::array<unsigned char, FLASH_CRC_REQUEST_SIZE> flash_crc_request(uint32_t offset, uint32_t length,
                                                                    unsigned char tag) {
    std::array<unsigned char, FLASH_CRC_REQUEST_SIZE> request{};
    unsigned char* fields = request.data() + 1;
    request[0] = tag;
    put_le32(fields, offset);
    put_le32(fields + REQUEST_FIELD_SIZE, length);
    put_le32(fields + 2 * REQUEST_FIELD_SIZE, static_cast<uint32_t>(crc32(0, fields, 2 * REQUEST_FIELD_SIZE)));
    return request;
}

FlashCheck judge_flash_crc(const ReceiverCrc& report, uint32_t length, uint32_t image_crc) {
    if (report.found != ReceiverCrc::Found::read || report.count != length) return FlashCheck::missing;
    return report.crc == image_crc ? FlashCheck::holds : FlashCheck::differs;
}

bool flash_request_taken(LineReader& line, const FlashRequest& request, int64_t offset, uint32_t length) {
    const std::string start_command = format_start_command(request.entry);
    line.send(start_command.data(), static_cast<int>(start_command.size()), Capture::record);
    if (!offer_seen(line, request.offer)) return false;
    const auto bytes = flash_crc_request(request_field(offset), length, request.tag);
    for (int tries = 0; tries < REQUEST_TRIES; ++tries) {
        line.send(bytes.data(), FLASH_CRC_REQUEST_SIZE, Capture::skip);
        switch (read_answer(line.fd())) {
            case Answer::ack:
                return true;
            case Answer::nak:
                continue;
            case Answer::none:
                return false;
        }
    }
    return false;
}

ReceiverCrc read_flash_crc(LineReader& line, int64_t offset, uint32_t length) {
    if (!flash_request_taken(line, {LOADER_VERIFY_ENTRY, OFFER, VERIFY_TAG}, offset, length)) return {};
    return read_report(line, length);
}

void verify_flash(LineReader& line, const char* file_name, int64_t offset, int64_t length, uint32_t image_crc) {
    fprintf(stderr, "Verifying flash...");
    const uint32_t asked = request_field(length);
    const ReceiverCrc report = read_flash_crc(line, offset, asked);
    switch (judge_flash_crc(report, asked, image_crc)) {
        case FlashCheck::holds:
            fprintf(stderr, "done\n");
            return;
        case FlashCheck::differs:
            refuse_exit("Error:  the flash at 0x%lx does not hold '%s' (CRC-32 %08x, expected %08x).  Aborting.",
                        static_cast<unsigned long>(offset), file_name, static_cast<unsigned>(report.crc),
                        static_cast<unsigned>(image_crc));
        case FlashCheck::missing:
            refuse_exit("Error:  no flash CRC-32 came back for '%s'.  Aborting.", file_name);
    }
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "transfer/xmodem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "core/exit_signals.h"
#include "core/fatal.h"
#include "core/file_check.h"
#include "core/kept_texts.h"
#include "serial/byte_wait.h"
#include "transfer/control_bytes.h"
#include "transfer/progress.h"
#include "transfer/receiver_session.h"
#include "transfer/sender_guard.h"
#include "transfer/xmodem_steps.h"

namespace {

constexpr int XMODEM_WAIT_TRIES = 10;     // waits per awaited byte before giving up
constexpr int XMODEM_MAX_RESENDS = 10;    // a packet or EOT goes out at most eleven times
constexpr int XMODEM_BLOCK_MODULO = 256;  // the block number is one byte on the wire
// Each wait for a byte; the meter's one-second tick cuts it short.
constexpr std::chrono::seconds XMODEM_WAIT{5};
// The receiver sends its first NAK as soon as it starts, after at most the
// start command's echo; a line that brings other bytes for as long as one
// awaited byte may take (10 waits of 5 s) has no receiver on it.
constexpr std::chrono::seconds START_NAK_LIMIT = XMODEM_WAIT_TRIES * XMODEM_WAIT;

// Packet offsets in wire order.
constexpr int PACKET_SOH = 0;
constexpr int PACKET_BLOCK = 1;
constexpr int PACKET_BLOCK_COMPLEMENT = 2;
constexpr int PACKET_DATA = 3;
constexpr int PACKET_OVERHEAD = 4;  // header and checksum

XmodemWriter packet_writer = nullptr;

}  // namespace

// The wire steps only this sender takes, defined with the others below.
static void xmodem_sendbyte(XmodemTransfer& transfer, unsigned char byte);
// resend_byte 0: resend the packet on request; otherwise resend that single byte.
static void xmodem_waitack(XmodemTransfer& transfer, unsigned char resend_byte);

namespace {

ssize_t write_packet_bytes(int fd, const void* data, size_t length) {
    return packet_writer != nullptr ? packet_writer(fd, data, length) : write(fd, data, length);
}

// A part of a packet (its start when `starts`) or a control byte, written with
// the exit signals held and recorded for the receiver session, so that an
// abort finds the record as the line is; reads are recorded the same way.
ssize_t write_recorded(XmodemTransfer& transfer, const unsigned char* data, size_t length, bool part_of_packet,
                       bool starts) {
    ExitSignalsHeld held;
    const ssize_t count =
        part_of_packet ? write_packet_bytes(transfer.port_fd, data, length) : write(transfer.port_fd, data, length);
    if (count > 0 && starts) receiver_session_sent(data[0]);
    return count;
}

// Sends every block of the file, each acknowledged before the next.
void send_blocks(XmodemTransfer& transfer) {
    bool last = false;
    while (!last) {
        last = xmodem_readblock(transfer);
        xmodem_sendline(transfer);
        xmodem_waitack(transfer, 0);
        xmodem_digest_packet(transfer);
        transfer.block_number = (transfer.block_number + 1) % XMODEM_BLOCK_MODULO;
        transfer.meter->bytes_done += transfer.data_size;
        progress_redraw_if_due();
    }
}

}  // namespace

void set_xmodem_writer(XmodemWriter writer) { packet_writer = writer; }

void xmodem_open(XmodemTransfer& transfer, const char* file_name, int port_fd, const FileCheck* checked) {
    transfer.port_fd = port_fd;
    transfer.file_name = file_name;

    // Whatever was put in the file's place (a FIFO, a terminal) must not hold
    // the open; the check below refuses it.
    transfer.file_fd = open(file_name, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (transfer.file_fd < 0) error_exit("Error:  Can't open %s for reading", file_name);
    struct stat status {};
    if (fstat(transfer.file_fd, &status) != 0) error_exit("Error: unable to stat '%s'", file_name);
    if (checked != nullptr && !file_unchanged(status, *checked))
        file_changed_exit(file_name, *checked, !is_same_file(status, checked->identity));
    if (!S_ISREG(status.st_mode)) refuse_exit("Error:  File '%s' is not a regular file", file_name);
    transfer.check = checked != nullptr ? *checked : file_check_of(status);
    const int64_t size = transfer.check.size;
    transfer.unsent = size;
    transfer.image_size = size;
    sender_stop_watch_install();
    progress_start(*transfer.meter, size);
}

void xmodem_await_start(XmodemTransfer& transfer, std::string* start_text) {
    // A line that babbles without a NAK ends the wait all the same.
    const auto give_up = std::chrono::steady_clock::now() + START_NAK_LIMIT;
    for (unsigned char byte; (byte = xmodem_getbyte(transfer)) != NAK;) {
        if (start_text != nullptr && start_text->size() < XMODEM_START_TEXT_MAX)
            *start_text += static_cast<char>(byte);
        if (std::chrono::steady_clock::now() >= give_up)
            refuse_exit("Error:  no NAK from the receiver within %lld s, only other bytes.  Abort.",
                        static_cast<long long>(START_NAK_LIMIT.count()));
    }
}

int64_t xmodem_send(const char* file_name, int port_fd, XmodemDigest* digest, XmodemOptions options) {
    XmodemTransfer transfer{};
    ProgressMeter own_meter;
    transfer.meter = options.meter != nullptr ? options.meter : &own_meter;
    xmodem_open(transfer, file_name, port_fd, options.checked);
    const int64_t size = transfer.check.size;
    transfer.large_packets = options.large_packets;
    transfer.monitor_prompt = options.monitor_prompt;

    // Everything before the receiver's first NAK (echo, "C", CAN) is dropped,
    // but for a copy of its start for a caller who asks.
    if (!options.start_nak_seen) xmodem_await_start(transfer, options.start_text);
    show_progress(*transfer.meter, ProgressDraw::first);
    progress_tick_start(*transfer.meter);
    send_blocks(transfer);
    progress_tick_stop();

    xmodem_sendbyte(transfer, EOT);
    xmodem_waitack(transfer, EOT);
    show_progress(*transfer.meter, ProgressDraw::complete);
    close(transfer.file_fd);
    if (digest != nullptr) *digest = transfer.digest;
    return size;
}

void xmodem_digest_packet(XmodemTransfer& transfer) {
    const unsigned char* data = transfer.packet + PACKET_DATA;
    const int64_t image_left = transfer.image_size - transfer.digest.bytes;
    if (image_left > 0) {
        const int64_t image_part = image_left < transfer.data_size ? image_left : transfer.data_size;
        transfer.digest.image_crc =
            static_cast<uint32_t>(crc32(transfer.digest.image_crc, data, static_cast<uInt>(image_part)));
    }
    transfer.digest.crc =
        static_cast<uint32_t>(crc32(transfer.digest.crc, data, static_cast<uInt>(transfer.data_size)));
    transfer.digest.bytes += transfer.data_size;
}

namespace {

// Up to length bytes of the file; fewer only at its end.
size_t read_file_bytes(XmodemTransfer& transfer, unsigned char* data, size_t length) {
    size_t got = 0;
    while (got < length) {
        const ssize_t count = read(transfer.file_fd, data + got, length - got);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) error_exit("Error: unable to read from '%s'", transfer.file_name);
        if (count == 0) break;
        got += static_cast<size_t>(count);
    }
    return got;
}

}  // namespace

bool xmodem_readblock(XmodemTransfer& transfer) {
    unsigned char* data = transfer.packet + PACKET_DATA;
    // A 1K packet is never the last: the tail, even an empty one, goes as
    // 128-byte packets, so the stored bytes match the 128-byte path's.
    const bool large = transfer.large_packets && transfer.unsent >= XMODEM_1K_DATA_SIZE;
    transfer.data_size = large ? XMODEM_1K_DATA_SIZE : XMODEM_DATA_SIZE;
    // Exactly the checked size is sent: the flash command's size comes from it.
    const size_t due = static_cast<size_t>(std::min<int64_t>(transfer.data_size, transfer.unsent));
    const size_t got = read_file_bytes(transfer, data, due);
    if (got < due) file_changed_exit(transfer.file_name, transfer.check, false);  // it shrank
    transfer.unsent -= static_cast<int64_t>(got);
    // The file must end where its check said, before the packet goes: a longer
    // one (a /proc file that reports size 0, a file still growing) is another image.
    unsigned char beyond = 0;
    if (transfer.unsent == 0 && read_file_bytes(transfer, &beyond, 1) != 0)
        file_changed_exit(transfer.file_name, transfer.check, false);
    memset(data + got, XMODEM_FILLER, static_cast<size_t>(transfer.data_size) - got);
    return !large && got < XMODEM_DATA_SIZE;
}

unsigned char xmodem_checksum(const XmodemTransfer& transfer) {
    unsigned sum = 0;
    for (int i = 0; i < transfer.data_size; ++i) sum += transfer.packet[PACKET_DATA + i];
    return static_cast<unsigned char>(sum);
}

void xmodem_sendline(XmodemTransfer& transfer) {
    const auto block = static_cast<unsigned char>(transfer.block_number % XMODEM_BLOCK_MODULO);
    const bool large = transfer.data_size == XMODEM_1K_DATA_SIZE;
    const size_t packet_size = static_cast<size_t>(transfer.data_size + PACKET_OVERHEAD);
    transfer.packet[PACKET_SOH] = large ? STX : SOH;
    transfer.packet[PACKET_BLOCK] = block;
    transfer.packet[PACKET_BLOCK_COMPLEMENT] = static_cast<unsigned char>(0xFF - block);
    transfer.packet[PACKET_DATA + transfer.data_size] = xmodem_checksum(transfer);
    // A short write (a tick landing in a write held back by flow control) must
    // not leave half a packet on the line: the rest follows at once.
    size_t sent = 0;
    while (sent < packet_size) {
        const ssize_t count = write_recorded(transfer, transfer.packet + sent, packet_size - sent, true, sent == 0);
        if (count <= 0) error_exit("Error:  xmodem_sendline failed to write line");
        sent += static_cast<size_t>(count);
    }
}

static void xmodem_sendbyte(XmodemTransfer& transfer, unsigned char byte) {
    if (byte == EOT) transfer.eot_sent = true;
    if (write_recorded(transfer, &byte, 1, false, true) < 0) error_exit("Error:  xmodem_sendbyte failed to write byte");
}

unsigned char xmodem_getbyte(XmodemTransfer& transfer) {
    for (int attempt = 0; attempt < XMODEM_WAIT_TRIES; ++attempt) {
        const ByteWait wait = wait_for_byte(transfer.port_fd, XMODEM_WAIT, OnSignal::end);
        progress_redraw_if_due();
        // Time-out, the tick, a failed wait or a hung-up line: the try is used up.
        if (wait != ByteWait::ready) continue;
        unsigned char byte = 0;
        ssize_t count;
        {
            ExitSignalsHeld held;
            count = read(transfer.port_fd, &byte, 1);
            if (count == 1) receiver_session_read(byte);
        }
        // After a stop the byte is stale: the receiver is asked first.
        if (count == 1 && sender_was_continued())
            return sender_reply_after_continue(transfer.port_fd, byte, transfer.eot_sent, transfer.monitor_prompt);
        if (count == 1) return byte;
        // A read cut by a signal is a used try, not a broken port.
        if (count < 0 && errno != EINTR) error_exit("Error:  xmodem_getbyte failed to read byte");
        // Readable but no byte (a hung-up line): never a received byte.
    }
    refuse_exit("Error:  Read timeout.  Abort.");
}

static void xmodem_waitack(XmodemTransfer& transfer, unsigned char resend_byte) {
    for (int resends = 0;; ++resends) {
        const unsigned char reply = xmodem_getbyte(transfer);
        if (reply == ACK) return;
        // The answer to the last resend is not judged: anything but ACK ends it.
        if (resends == XMODEM_MAX_RESENDS) refuse_exit("Error:  Received NAK too many times.  Abort.");
        if (reply != NAK && reply != CAN)
            fprintf(stderr, "\nWarning:  received unknown xmodem code from remote:  '%02x'\n", reply);
        // A CAN, or bytes right behind an answer we do not know (the receiver's
        // CANs damaged, its verdict, the prompt): never a resend.
        if (sender_judge_reply(transfer.port_fd, reply) == ReplyVerdict::receiver_gone)
            refuse_exit("%s", TRANSFER_CANCELLED_MESSAGE);
        if (resend_byte != 0)
            xmodem_sendbyte(transfer, resend_byte);
        else
            xmodem_sendline(transfer);
    }
}

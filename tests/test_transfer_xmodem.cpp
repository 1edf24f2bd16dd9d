// SPDX-License-Identifier: GPL-2.0-or-later
// The XMODEM sender against a scripted receiver on the master side of a pty.
//
// The sender never flushes its input and reads one byte per reply, so the
// receiver's whole answer script can be queued before the transfer starts; a
// collector thread takes whatever the sender writes.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>

#include "support/pty_test.h"
#include "support/text_match.h"
#include "support/xmodem_packet.h"
#include "support/run_binary.h"
#include "transfer/control_bytes.h"
#include "transfer/progress.h"
#include "transfer/sender_guard.h"
#include "monitor/monitor_prompt.h"
#include "transfer/xmodem.h"
#include "transfer/xmodem_steps.h"

namespace {

const std::string S_NAK(1, static_cast<char>(NAK));
const std::string S_ACK(1, static_cast<char>(ACK));
const std::string S_CAN(1, static_cast<char>(CAN));
const std::string S_EOT(1, static_cast<char>(EOT));

std::string repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

size_t count_lines(const std::string& err) {
    size_t count = 0;
    for (size_t at = err.find("\r -- ["); at != std::string::npos; at = err.find("\r -- [", at + 1)) ++count;
    return count;
}

class XmodemSendTest : public PtyTest {
protected:
    // Queues the receiver's replies, runs the sender, and collects its output.
    int64_t send(const std::string& path, const std::string& replies) {
        peer_write(replies);
        std::atomic<bool> done{false};
        std::thread collector([&] {
            while (!done) {
                const std::string got = peer_drain(20);
                wire += got;
            }
        });
        const int64_t size = xmodem_send(path.c_str(), slave_fd, &digest, XmodemOptions{.meter = &meter});
        done = true;
        collector.join();
        wire += peer_drain(50);
        return size;
    }

    testkit::TempDir dir;
    std::string wire;
    XmodemDigest digest;
    ProgressMeter meter;
};

struct TransferCase {
    const char* name;
    size_t file_size;
    std::string before_nak;  // what the receiver says before it is ready
    int packet_naks;         // NAKs before the ACK of the first packet
    int eot_naks;            // NAKs before the ACK of EOT
};

void PrintTo(const TransferCase& c, std::ostream* os) { *os << c.name; }

class XmodemTransferCases : public XmodemSendTest, public ::testing::WithParamInterface<TransferCase> {};

TEST_P(XmodemTransferCases, SendsEveryPacketAndEotAndReturnsTheFileSize) {
    const TransferCase& c = GetParam();
    const std::string path = dir.file("image");
    testkit::write_pattern_file(path, static_cast<long long>(c.file_size), 7);
    const std::string file = testkit::read_file(path);
    const size_t packets = xmodem_packet_count(c.file_size);

    std::string replies = c.before_nak + S_NAK;
    std::string expected;
    for (size_t i = 1; i <= packets; ++i) {
        const int resends = i == 1 ? c.packet_naks : 0;
        replies += repeat(S_NAK, resends);
        replies += S_ACK;
        expected += repeat(xmodem_file_packet(file, i), 1 + resends);
    }
    replies += repeat(S_NAK, c.eot_naks) + S_ACK;
    expected += repeat(S_EOT, 1 + c.eot_naks);

    EXPECT_EQ(send(path, replies), static_cast<int64_t>(c.file_size));
    EXPECT_EQ(wire.size(), expected.size());
    EXPECT_TRUE(wire == expected) << "the bytes on the wire differ";
    EXPECT_EQ(meter.bytes_done, static_cast<int64_t>(packets * 128));
    // The digest covers every acknowledged packet once, resends aside, filler included.
    std::string data = file;
    data.resize(packets * 128, static_cast<char>(XMODEM_FILLER));
    EXPECT_EQ(digest.crc, crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
    EXPECT_EQ(digest.bytes, static_cast<int64_t>(data.size()));
    EXPECT_EQ(digest.image_crc, crc32(0, reinterpret_cast<const Bytef*>(file.data()), static_cast<uInt>(file.size())));
}

INSTANTIATE_TEST_SUITE_P(Transfers, XmodemTransferCases,
                         ::testing::Values(TransferCase{"ThreePacketsFor300Bytes", 300, "", 0, 0},
                                           TransferCase{"AllFillerLastPacketFor256Bytes", 256, "", 0, 0},
                                           TransferCase{"OneFillerPacketForAnEmptyFile", 0, "", 0, 0},
                                           // Packets 256 and 257 carry block numbers 0 and 1.
                                           TransferCase{"BlockNumberWrapsAfter255", 257 * 128, "", 0, 0},
                                           TransferCase{"CrcRequestsAndCancelBeforeTheFirstNakAreDropped", 300,
                                                        "CC" + S_CAN + "C", 0, 0},
                                           TransferCase{"TenNaksThenAckCompleteThePacket", 300, "", 10, 0},
                                           TransferCase{"NakAfterEotResendsOnlyEot", 300, "", 0, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// A packet of either size as it must look on the wire.
// The packets for file with 1K packets: every whole 1024 bytes as STX, the
// rest (possibly nothing) as 128-byte packets, the last one filled.
std::vector<std::string> large_packets(const std::string& file) {
    std::vector<std::string> packets;
    size_t at = 0;
    for (; file.size() - at >= 1024; at += 1024)
        packets.push_back(xmodem_packet(packets.size() + 1, file.substr(at, 1024)));
    for (;; at += 128) {
        std::string data = file.substr(at, 128);
        const bool last = data.size() < 128;
        data.resize(128, static_cast<char>(XMODEM_FILLER));
        packets.push_back(xmodem_packet(packets.size() + 1, data));
        if (last) break;
    }
    return packets;
}

struct LargeCase {
    const char* name;
    size_t file_size;
    size_t stx_packets;
    size_t soh_packets;
    int naks_on_first;     // NAKs before the first packet's ACK
    bool nak_read_before;  // the caller consumed the start NAK
};

void PrintTo(const LargeCase& c, std::ostream* os) { *os << c.name; }

class XmodemLargeCases : public XmodemSendTest, public ::testing::WithParamInterface<LargeCase> {};

// The receiver stores the same bytes as with 128-byte packets: the digest and
// byte count are those of the 128-byte path, filler included.
TEST_P(XmodemLargeCases, SendsWhole1KBlocksAsStxAndTheTailAs128BytePackets) {
    const LargeCase& c = GetParam();
    const std::string path = dir.file("image");
    testkit::write_pattern_file(path, static_cast<long long>(c.file_size), 5);
    const std::string file = testkit::read_file(path);
    const std::vector<std::string> packets = large_packets(file);
    size_t stx = 0;
    for (const std::string& p : packets) stx += p[0] == static_cast<char>(STX);
    ASSERT_EQ(stx, c.stx_packets);
    ASSERT_EQ(packets.size() - stx, c.soh_packets);

    std::string replies = c.nak_read_before ? "" : S_NAK;
    std::string expected;
    for (size_t i = 0; i < packets.size(); ++i) {
        const int resends = i == 0 ? c.naks_on_first : 0;
        replies += repeat(S_NAK, resends) + S_ACK;
        expected += repeat(packets[i], 1 + resends);
    }
    replies += S_ACK;
    expected += S_EOT;

    peer_write(replies);
    std::atomic<bool> done{false};
    std::thread collector([&] {
        while (!done) wire += peer_drain(20);
    });
    const XmodemOptions options{.large_packets = true, .start_nak_seen = c.nak_read_before, .meter = &meter};
    EXPECT_EQ(xmodem_send(path.c_str(), slave_fd, &digest, options), static_cast<int64_t>(c.file_size));
    done = true;
    collector.join();
    wire += peer_drain(50);

    EXPECT_EQ(wire.size(), expected.size());
    EXPECT_TRUE(wire == expected) << "the bytes on the wire differ";
    std::string stored = file;
    stored.resize(xmodem_packet_count(c.file_size) * 128, static_cast<char>(XMODEM_FILLER));
    EXPECT_EQ(digest.crc, crc32(0, reinterpret_cast<const Bytef*>(stored.data()), static_cast<uInt>(stored.size())));
    EXPECT_EQ(digest.bytes, static_cast<int64_t>(stored.size()));
    EXPECT_EQ(digest.image_crc, crc32(0, reinterpret_cast<const Bytef*>(file.data()), static_cast<uInt>(file.size())));
    EXPECT_EQ(meter.bytes_done, static_cast<int64_t>(stored.size()));
}

INSTANTIATE_TEST_SUITE_P(Transfers, XmodemLargeCases,
                         ::testing::Values(LargeCase{"EmptyFileIsOneFillerPacket", 0, 0, 1, 0, false},
                                           LargeCase{"ShortFileHasNo1KPacket", 1023, 0, 8, 0, false},
                                           LargeCase{"Whole1KBlockThenAnAllFillerPacket", 1024, 1, 1, 0, false},
                                           LargeCase{"TailAfterTwoBlocks", 2048 + 300, 2, 3, 0, false},
                                           LargeCase{"TailOfWhole128ByteBlocks", 1024 + 256, 1, 3, 0, false},
                                           // 300 1K packets: block numbers wrap past 255 on the STX packets.
                                           LargeCase{"BlockNumberWrapsOn1KPackets", 300 * 1024 + 5, 300, 1, 0, false},
                                           LargeCase{"NakedStxPacketIsResentWhole", 3000, 2, 8, 3, false},
                                           LargeCase{"StartNakAlreadyRead", 1500, 1, 4, 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// An answer we do not know, with a quiet line behind it or only the real
// answer beside it (a stray byte), is a damaged answer: the sender warns and
// sends the packet again, once, and never runs one answer ahead.
TEST_F(XmodemSendTest, AfterAnUnknownReplyWarnsAndResendsOnce) {
    const std::string path = dir.file("image");
    testkit::write_pattern_file(path, 10);
    const std::string packet = xmodem_file_packet(testkit::read_file(path), 1);
    peer_write(S_NAK);
    std::string heard;
    std::thread receiver([&] {
        heard += peer_read(packet.size(), 5000);
        peer_write("C" + S_ACK);  // a stray byte, and the real answer beside it
        heard += peer_read(packet.size(), 5000);
        peer_write("Z");  // the answer to the resend damaged, a quiet line behind it
        heard += peer_read(packet.size(), 5000);
        peer_write(S_ACK);
        heard += peer_read(1, 5000);
        peer_write(S_ACK);
    });
    testing::internal::CaptureStderr();
    xmodem_send(path.c_str(), slave_fd);
    const std::string err = testing::internal::GetCapturedStderr();
    receiver.join();
    EXPECT_EQ(heard, packet + packet + packet + S_EOT);
    EXPECT_NE(err.find("\nWarning:  received unknown xmodem code from remote:  '43'\n"), std::string::npos) << err;
    EXPECT_NE(err.find("\nWarning:  received unknown xmodem code from remote:  '5a'\n"), std::string::npos) << err;
}

// The receiver's give-up (CAN, CAN, its verdict, the monitor's prompt) as a
// damaged line delivers it: whatever the CANs became, bytes right behind an
// answer end the sending, and nothing more goes out that could reach the
// monitor's command line.
TEST_F(XmodemSendTest, ADamagedGiveUpEndsTheSendingWithoutAResend) {
    const std::string verdict = "BAD CHKSUM\r\nDownload Failed!\r\nPMON> ";
    const struct {
        const char* name;
        std::string give_up;
    } cases[] = {
        {"both CANs damaged", std::string("\x98\x1c") + verdict},
        {"first CAN damaged", std::string("\x1c") + S_CAN + verdict},
        {"both CANs lost", verdict},
        {"fast entry: both CANs damaged, then it waits for us", std::string("\x98\x1c")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("image");
        testkit::write_pattern_file(path, 300);
        const std::string first_packet = xmodem_file_packet(testkit::read_file(path), 1);
        tcflush(slave_fd, TCIOFLUSH);
        peer_write(S_NAK + c.give_up);
        EXPECT_EXIT(xmodem_send(path.c_str(), slave_fd, nullptr, {.monitor_prompt = line_has_prompt}),
                    ::testing::ExitedWithCode(1), literally("\nError:  Transferred cancelled by remote side"));
        EXPECT_TRUE(peer_drain(100) == first_packet) << "something was sent after the give-up";
    }
}

// A stopped and continued sender reads stale replies: it asks the receiver
// with a probe byte before it sends anything, and goes on only on its NAK.
TEST_F(XmodemSendTest, AfterAContinueTheReceiverIsAskedBeforeAnythingIsSent) {
    const std::string path = dir.file("image");
    testkit::write_pattern_file(path, 10);
    const std::string packet = xmodem_file_packet(testkit::read_file(path), 1);
    peer_write(S_NAK + S_NAK + S_NAK);  // its start NAK and two time-outs, queued while we slept
    std::string heard;
    std::thread receiver([&] {
        heard += peer_read(1, 5000);
        peer_write(S_NAK);  // the probe is noise to it
        heard += peer_read(packet.size(), 5000);
        peer_write(S_ACK);
        heard += peer_read(1, 5000);
        peer_write(S_ACK);
    });
    sender_stop_watch_install();
    raise(SIGCONT);
    testing::internal::CaptureStderr();
    EXPECT_EQ(xmodem_send(path.c_str(), slave_fd), 10);
    testing::internal::GetCapturedStderr();
    receiver.join();
    EXPECT_TRUE(heard == std::string(1, '\0') + packet + S_EOT) << "the wire differs";
}

// A receiver that gave up while we slept: its CANs or the prompt among the
// stale bytes, or no NAK for the probe, end the run with nothing resent.
TEST_F(XmodemSendTest, AfterAContinueALostReceiverEndsTheRun) {
    const struct {
        const char* name;
        std::string stale;
        std::string sent;  // what may go out: nothing, or the probe
    } cases[] = {
        {"its give-up queued", S_NAK + S_NAK + S_CAN + S_CAN + "TIMEOUT\r\nDownload Failed!\r\nPMON> ", ""},
        {"only the prompt", S_NAK + "Download Failed!\r\nPMON> ", ""},
        {"the probe unanswered", S_NAK + S_NAK, std::string(1, '\0')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("image");
        testkit::write_pattern_file(path, 300);
        tcflush(slave_fd, TCIOFLUSH);
        peer_write(c.stale);
        EXPECT_EXIT(
            {
                sender_stop_watch_install();
                raise(SIGCONT);
                xmodem_send(path.c_str(), slave_fd, nullptr, {.monitor_prompt = line_has_prompt});
            },
            ::testing::ExitedWithCode(1),
            literally("\nError:  the receiver was lost while kelvane was stopped.  Aborting."));
        EXPECT_TRUE(peer_drain(100) == c.sent) << "something was sent to a lost receiver";
    }
}

TEST_F(XmodemSendTest, RedrawsTheMeterWhileWaitingForASlowReceiver) {
    const std::string path = dir.file("image");
    testkit::write_pattern_file(path, 10);
    peer_write(S_NAK);
    // The ACK comes only after several one-second ticks have passed.
    std::thread slow_receiver([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        peer_write(S_ACK + S_ACK);
    });
    testing::internal::CaptureStderr();
    xmodem_send(path.c_str(), slave_fd);
    const std::string err = testing::internal::GetCapturedStderr();
    slow_receiver.join();
    // The first draw, redraws during the wait (ticks that only raised the flag
    // would collapse into one redraw after the ACK), and the completion line.
    EXPECT_GE(count_lines(err), 4u) << err;
}

struct FatalCase {
    const char* name;
    std::string replies;
    const char* message;
};

void PrintTo(const FatalCase& c, std::ostream* os) { *os << c.name; }

class XmodemFatalCases : public XmodemSendTest, public ::testing::WithParamInterface<FatalCase> {};

TEST_P(XmodemFatalCases, EndsTheRunWithTheMessage) {
    const FatalCase& c = GetParam();
    const std::string path = dir.file("image");
    testkit::write_pattern_file(path, 300);
    peer_write(c.replies);
    EXPECT_EXIT(xmodem_send(path.c_str(), slave_fd), ::testing::ExitedWithCode(1), literally(c.message));
}

INSTANTIATE_TEST_SUITE_P(Failures, XmodemFatalCases,
                         ::testing::Values(FatalCase{"CancelAfterAPacket", S_NAK + S_CAN,
                                                     "\nError:  Transferred cancelled by remote side"},
                                           FatalCase{"CancelAfterEot", S_NAK + repeat(S_ACK, 3) + S_CAN,
                                                     "\nError:  Transferred cancelled by remote side"},
                                           FatalCase{"ElevenNaks", S_NAK + repeat(S_NAK, 11),
                                                     "\nError:  Received NAK too many times.  Abort."},
                                           // The answer to the tenth resend is not judged, a CAN included.
                                           FatalCase{"CancelAnsweringTheTenthResend", S_NAK + repeat(S_NAK, 10) + S_CAN,
                                                     "\nError:  Received NAK too many times.  Abort."},
                                           FatalCase{"ElevenNaksForEot", S_NAK + repeat(S_ACK, 3) + repeat(S_NAK, 11),
                                                     "\nError:  Received NAK too many times.  Abort."}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(XmodemSendTest, RefusesADirectoryBeforeReadingThePort) {
    peer_write(S_NAK);
    EXPECT_EXIT(xmodem_send(dir.path().c_str(), slave_fd), ::testing::ExitedWithCode(1),
                literally("\nError:  File '" + dir.path() + "' is not a regular file"));
    // The receiver's NAK is still waiting on the line.
    unsigned char byte = 0;
    pollfd p{slave_fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 0), 1);
    ASSERT_EQ(read(slave_fd, &byte, 1), 1);
    EXPECT_EQ(byte, NAK);
}

TEST_F(XmodemSendTest, RefusesAMissingFile) {
    const std::string path = dir.file("absent");
    EXPECT_EXIT(xmodem_send(path.c_str(), slave_fd), ::testing::ExitedWithCode(1),
                literally("\nError:  Can't open " + path + " for reading"));
}

TEST(XmodemGetbyte, HungUpLineIsNeverTakenForAByte) {
    // A pipe whose writer is gone: always readable, every read delivers nothing.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[1]);
    XmodemTransfer transfer;
    transfer.port_fd = ends[0];
    EXPECT_EXIT(xmodem_getbyte(transfer), ::testing::ExitedWithCode(1), literally("\nError:  Read timeout.  Abort."));
    close(ends[0]);
}

// The sender sends exactly the checked size and reads the file to its end
// before the packet that ends the transfer: a file that yields fewer or more
// bytes is a changed file, and that packet never goes. A pipe stands in for
// the file, holding what it yields.
TEST(XmodemReadblock, AFileThatYieldsOtherThanItsCheckedSizeEndsTheRun) {
    struct Case {
        const char* name;
        int64_t checked_size;
        size_t yields;
    };
    const Case cases[] = {
        {"fewer in the first packet", 300, 100}, {"fewer at a packet boundary", 256, 128},
        {"more than the size", 100, 101},        {"anything for an empty file", 0, 1},
        {"more past a whole packet", 128, 129},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(
            {
                int ends[2];
                if (pipe(ends) != 0) _exit(3);
                const std::string bytes(c.yields, 'x');
                if (write(ends[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) _exit(3);
                close(ends[1]);
                XmodemTransfer transfer;
                transfer.file_fd = ends[0];
                transfer.file_name = "img";
                transfer.check.size = c.checked_size;
                transfer.unsent = c.checked_size;
                while (!xmodem_readblock(transfer)) {}
                _exit(0);
            },
            ::testing::ExitedWithCode(1), literally("\nError:  'img' changed since it was checked.  Aborting.\n\n"));
    }
}

TEST(XmodemReadblock, AFileOfItsCheckedSizeFillsTheLastPacket) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], "abc", 3), 3);
    close(ends[1]);
    XmodemTransfer transfer;
    transfer.file_fd = ends[0];
    transfer.check.size = 3;
    transfer.unsent = 3;
    EXPECT_TRUE(xmodem_readblock(transfer));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(transfer.packet) + 3, 5), "abc\x1a\x1a");
    close(ends[0]);
}

// Takes at most 50 bytes per call, as a port held back by flow control may.
ssize_t short_writer(int fd, const void* data, size_t length) { return write(fd, data, std::min<size_t>(length, 50)); }

TEST(XmodemSendline, ShortWritesStillPutTheWholePacketOnTheLine) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    XmodemTransfer transfer;
    transfer.port_fd = ends[1];
    transfer.block_number = 3;
    for (int i = 0; i < XMODEM_DATA_SIZE; ++i) transfer.packet[3 + i] = static_cast<unsigned char>(i);
    set_xmodem_writer(short_writer);
    xmodem_sendline(transfer);
    set_xmodem_writer(nullptr);
    close(ends[1]);

    std::string got;
    char buffer[512];
    ssize_t n;
    while ((n = read(ends[0], buffer, sizeof buffer)) > 0) got.append(buffer, static_cast<size_t>(n));
    close(ends[0]);
    std::string data(128, '\0');
    for (int i = 0; i < 128; ++i) data[static_cast<size_t>(i)] = static_cast<char>(i);
    EXPECT_TRUE(got == xmodem_file_packet(std::string(256, 'x') + data, 3));
}

struct ChecksumCase {
    unsigned char fill;
    unsigned char checksum;
};

TEST(XmodemChecksum, IsTheByteSumOfTheDataModulo256) {
    const ChecksumCase cases[] = {{0x1A, 0x00}, {0x01, 0x80}, {0x00, 0x00}, {0xFF, 0x80}, {0x03, 0x80}};
    for (const auto& c : cases) {
        XmodemTransfer transfer;
        memset(transfer.packet, 0x55, sizeof transfer.packet);  // header bytes must not count
        memset(transfer.packet + 3, c.fill, XMODEM_DATA_SIZE);
        EXPECT_EQ(xmodem_checksum(transfer), c.checksum) << "fill " << int(c.fill);
    }
}

}  // namespace

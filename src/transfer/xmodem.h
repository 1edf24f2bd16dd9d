// XMODEM sender: 128-byte blocks, 8-bit checksum, started by the receiver's NAK.
//
// It owns the serial descriptor for the length of one transfer and reads and
// writes it directly, one byte per read; nothing goes to the capture log. The
// packet is kept in wire order so that one write sends it and a resend writes
// the same bytes again. Each awaited byte gets ten select waits of 5 s; between
// the receiver's first NAK and EOT a one-second SIGALRM asks the progress meter
// for a redraw, and a wait it cuts short counts as one of the ten. Every
// failure ends the program through error_exit.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstddef>

#include "core/file_identity.h"

constexpr int XMODEM_DATA_SIZE = 128;
constexpr int XMODEM_PACKET_SIZE = 132;  // SOH, block, ~block, 128 data, checksum

struct XmodemTransfer {
    int file_fd = -1;
    int port_fd = -1;
    const char* file_name = nullptr;
    unsigned char packet[XMODEM_PACKET_SIZE] = {};
    int block_number = 1;
};

// Returns the file's size once the receiver has acknowledged EOT. With made
// (a piece this run created), the file opened must be that very file, or the
// run ends with "Error:  '%s' was replaced during the run.  Aborting.".
int64_t xmodem_send(const char* file_name, int port_fd, const FileIdentity* made = nullptr);
// True when the block just read is the last one.
bool xmodem_readblock(XmodemTransfer& transfer);
unsigned char xmodem_checksum(const XmodemTransfer& transfer);
void xmodem_sendline(XmodemTransfer& transfer);
void xmodem_sendbyte(XmodemTransfer& transfer, unsigned char byte);
unsigned char xmodem_getbyte(XmodemTransfer& transfer);
// resend_byte 0: resend the packet on request; otherwise resend that single byte.
void xmodem_waitack(XmodemTransfer& transfer, unsigned char resend_byte);

// The packet write seam: tests replace it to imitate a port that takes part of
// a packet per write. nullptr restores write(2).
using XmodemWriter = ssize_t (*)(int fd, const void* data, size_t length);
void set_xmodem_writer(XmodemWriter writer);

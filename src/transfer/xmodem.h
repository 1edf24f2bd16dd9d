// XMODEM sender: 128-byte blocks, 8-bit checksum, started by the receiver's NAK.
//
// It owns the serial descriptor for the length of one transfer and reads and
// writes it directly, one byte per read; nothing goes to the capture log. The
// packet is kept in wire order so that one write sends it and a resend writes
// the same bytes again.
#pragma once

#include <cstdint>

constexpr int XMODEM_DATA_SIZE = 128;
constexpr int XMODEM_PACKET_SIZE = 132;  // SOH, block, ~block, 128 data, checksum

struct XmodemTransfer {
    int file_fd = -1;
    int port_fd = -1;
    const char* file_name = nullptr;
    unsigned char packet[XMODEM_PACKET_SIZE] = {};
    int block_number = 1;
};

// Returns the file's size once the receiver has acknowledged EOT.
int64_t xmodem_send(const char* file_name, int port_fd);
// True when the block just read is the last one.
bool xmodem_readblock(XmodemTransfer& transfer);
unsigned char xmodem_checksum(const XmodemTransfer& transfer);
void xmodem_sendline(XmodemTransfer& transfer);
void xmodem_sendbyte(XmodemTransfer& transfer, unsigned char byte);
unsigned char xmodem_getbyte(XmodemTransfer& transfer);
// resend_byte 0: resend the packet on request; otherwise resend that single byte.
void xmodem_waitack(XmodemTransfer& transfer, unsigned char resend_byte);

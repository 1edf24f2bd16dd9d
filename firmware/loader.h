// SPDX-License-Identifier: GPL-2.0-or-later
/* The device-side XMODEM receiver: addresses, limits and shared routines.
 *
 * The monitor's "load" command places the image at 0xA0080000 (uncached) and
 * "g -e a0080274" calls the entry routine like a C function.  The receiver
 * polls the UART exactly as the monitor left it (no set-up, no interrupts),
 * NAKs once, takes checksum packets into its packet buffer, copies each
 * accepted one to the destination and answers it, then writes a verdict and
 * returns to the monitor.  A damaged packet, a stray byte or a lost answer is
 * answered so that the sender's resend gets through; whenever it gives up on
 * its own it says CAN, CAN, so that no sender keeps sending into the monitor.  After a successful transfer the verdict carries the
 * CRC-32 and the count of the bytes stored, so that the host can tell data
 * damaged past the 8-bit checksum from what it sent.  Everything it owns lies
 * below physical 0x00090000, where the received data starts.
 *
 * A second entry at 0xA00802A0 runs the same receive on a faster line: it
 * reports the monitor's divisor, takes the host's request for another one,
 * confirms the new rate with a short exchange (or falls back), also accepts
 * 1024-byte packets, and puts the UART back as the monitor had it before it
 * writes its verdict (fast_line.c).  A fast run does not use that entry: it
 * also uploads the second stage, which streams the packets (stream_receive.c)
 * and calls the fast line's routines from here.
 *
 * Memory, physical (the loader reaches it through kseg1, the data through kseg0):
 *   0x00080000..0x00080FDF  this image: code, texts, tables, variables
 *   0x00081000..0x00081FFE  the trace ring
 *   0x00082000..0x0008207F  the packet buffer (one 128-byte packet)
 *   0x00083000..0x0008EFFF  the second stage, uploaded by fast runs only
 *                           (stream_stage.ld: code, texts, variables)
 *   0x0008F000..0x0008F3FF  the second stage's stream buffer (one 1 KiB frame)
 *   0x00090000..DEST_END    the received data */
#ifndef KELVANE_LOADER_H
#define KELVANE_LOADER_H

#include "stream_wire.h"

#define REG8(addr)  (*(volatile unsigned char *)(addr))
#define REG16(addr) (*(volatile unsigned short *)(addr))

/* 16550-style UART as the monitor configured it. */
#define UART_DATA      0xAC000010u  /* receive and transmit holding register; DLL with DLAB */
#define UART_DLM       0xAC000011u  /* divisor's high byte with DLAB (IER without) */
#define UART_LCR       0xAC000013u  /* line control register */
#define UART_LSR       0xAC000015u  /* line status register */
#define LCR_DLAB       0x80u        /* data and IER addresses reach the divisor latch */
#define LSR_DATA_READY 0x01u        /* a received byte waits in UART_DATA */
#define LSR_TX_FREE    0x20u        /* UART_DATA takes the next byte to send */
#define LSR_TX_EMPTY   0x40u        /* nothing left to send, the shifter included */

/* Board register whose bit 0 is held low while a byte is handed to the UART. */
#define TX_GATE_REG    0xAB000308u
#define TX_GATE_BIT    0x0001u

/* Polls of the data-ready bit before a byte counts as missing (a count, not a
 * clock: a poll takes about a microsecond on the handheld, so about 5 s). */
#define RX_POLL_LIMIT  5000000u

/* Polls without a byte after which the line counts as quiet (about 20 ms: far
 * longer than the gap inside a packet, far shorter than a sender's wait). */
#define QUIET_POLLS    20000u
/* A purge stops after this many polls even if noise never stops (about 1 s). */
#define PURGE_POLLS    1000000u

/* The streamed receive's leaving wait, in polls of about a microsecond. */
#define POLLS_PER_MS      1000u
#define LEAVE_QUIET_POLLS (STREAM_LEAVE_QUIET_MS * POLLS_PER_MS)
#define LEAVE_LIMIT_POLLS (STREAM_LEAVE_LIMIT_MS * POLLS_PER_MS)

/* The fast entry's negotiation bytes, as the host names them too. */
#define ASK_DIVISOR  'S'  /* then the divisor, low byte first; anything else stays */
#define PROBE        'U'  /* answered with PROBE_ANSWER at the rate being tried */
#define PROBE_ANSWER 'K'
#define GO           'G'  /* the rate holds: the receive begins with its NAK */

/* Poll budgets of the fast entry (counts, not clocks: about a microsecond each). */
#define NEGOTIATION_POLLS 1000000u  /* for the host's request after the FAST line */
#define SYNC_POLLS        500000u   /* for the host's GO at one rate */
#define END_WAIT_POLLS    2000000u  /* for the host's byte at the monitor's rate */
#define TX_DRAIN_POLLS    100000u   /* for the transmitter to empty before a rate change */

/* Received data grows upwards from here (cached RAM, the flash command's source). */
#define DEST_START     0x80090000u
/* No packet is stored past the most one transfer may carry and one packet of
 * filler after it. */
#define TRANSFER_LIMIT 0x670000u
#define DEST_END       (DEST_START + TRANSFER_LIMIT + PACKET_SIZE)

/* Record of outcomes, one byte each, round-robin (see trace.c). */
#define TRACE_RING      0xA0081000u
#define TRACE_RING_SIZE 4095u

/* Where a packet's data is gathered before it is checked. */
#define PACKET_BUFFER  0xA0082000u
#define PACKET_SIZE    128u         /* data bytes of one XMODEM packet */
#define LONG_PACKET_SIZE 1024u      /* data bytes of an STX packet, fast entry only */

/* Where the second stage reads a frame that cannot go to its place: near
 * DEST_END, where a whole long frame would not fit. */
#define STREAM_BUFFER  0xA008F000u

/* Failures tolerated in a row; an accepted packet restores it. */
#define FAILURE_BUDGET 20

/* XMODEM control bytes. */
#define SOH 0x01u
#define STX 0x02u
#define EOT 0x04u
#define ACK 0x06u
#define NAK 0x15u
#define CAN 0x18u

/* head.S: writes a NUL-terminated text to the UART. */
void uart_puts(const char *text);
/* uart.c */
void uart_putc(unsigned char byte);
int uart_getc(void);                 /* the byte, or -1 after RX_POLL_LIMIT polls */
int uart_getc_polls(unsigned int polls); /* the byte, or -1 after that many polls */
void uart_purge(void);               /* drops bytes until the line is quiet */
void uart_puthex_digits(unsigned int value, int digits); /* lower-case hexadecimal */
#define uart_puthex(value) uart_puthex_digits((value), 8)
/* trace.c */
void trace_reset(void);
void trace_record(unsigned char code);
/* xmodem_receive.c */
/* Destination, block 1, full budget; long_packets admits STX packets. */
void xmodem_reset(unsigned char *start, int long_packets);
int xmodem_transfer(void);         /* NAK, packets until the end; the last outcome */
void xmodem_report(int last);      /* the verdict, with the CRC32 line after a success */
void xmodem_receive(void);         /* both of them */
/* fast_line.c */
void fast_line_open(void);   /* FAST line, request, sync: returns when the receive may NAK */
void fast_line_close(void);  /* the monitor's divisor back, then one byte from the host */
/* flash_crc.c: a request with this tag for a range inside the flash, then
 * ACK; or NAK and another try, and after three "NO REQUEST" and 0. */
int flash_request_take(int tag, unsigned int *offset, unsigned int *length);

#endif

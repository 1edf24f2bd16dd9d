/* The device-side XMODEM receiver: addresses, limits and shared routines.
 *
 * The monitor's "load" command places the image at 0xA0080000 (uncached) and
 * "g -e a0080274" calls the entry routine like a C function.  The receiver
 * polls the UART exactly as the monitor left it (no set-up, no interrupts),
 * NAKs once, takes checksum packets into its packet buffer, copies each
 * accepted one to the destination and answers it, then writes a verdict and
 * returns to the monitor.  After a successful transfer the verdict carries the
 * CRC-32 and the count of the bytes stored, so that the host can tell data
 * damaged past the 8-bit checksum from what it sent.  Everything it owns lies
 * below physical 0x00090000, where the received data starts. */
#ifndef KELVANE_LOADER_H
#define KELVANE_LOADER_H

#define REG8(addr)  (*(volatile unsigned char *)(addr))
#define REG16(addr) (*(volatile unsigned short *)(addr))

/* 16550-style UART as the monitor configured it. */
#define UART_DATA      0xAC000010u  /* receive and transmit holding register */
#define UART_LSR       0xAC000015u  /* line status register */
#define LSR_DATA_READY 0x01u        /* a received byte waits in UART_DATA */
#define LSR_TX_FREE    0x20u        /* UART_DATA takes the next byte to send */

/* Board register whose bit 0 is held low while a byte is handed to the UART. */
#define TX_GATE_REG    0xAB000308u
#define TX_GATE_BIT    0x0001u

/* Polls of the data-ready bit before a byte counts as missing (a count, not a
 * clock: about a few seconds on the handheld). */
#define RX_POLL_LIMIT  5000000u

/* Received data grows upwards from here (cached RAM, the flash command's source). */
#define DEST_START     0x80090000u

/* Record of outcomes, one byte each, round-robin (see trace.c). */
#define TRACE_RING      0xA0081000u
#define TRACE_RING_SIZE 4095u

/* Where a packet's data is gathered before it is checked. */
#define PACKET_BUFFER  0xA0082000u
#define PACKET_SIZE    128u         /* data bytes of one XMODEM packet */

/* Failures tolerated in a row; an accepted packet restores it. */
#define FAILURE_BUDGET 20

/* XMODEM control bytes. */
#define SOH 0x01u
#define EOT 0x04u
#define ACK 0x06u
#define NAK 0x15u

/* head.S: writes a NUL-terminated text to the UART. */
void uart_puts(const char *text);
/* uart.c */
void uart_putc(unsigned char byte);
int uart_getc(void);                 /* the byte, or -1 after RX_POLL_LIMIT polls */
void uart_puthex(unsigned int value); /* eight lower-case hexadecimal digits */
/* trace.c */
void trace_reset(void);
void trace_record(unsigned char code);
/* xmodem_receive.c */
void xmodem_reset(unsigned char *start);  /* destination, block 1, full budget */
void xmodem_receive(void);

#endif

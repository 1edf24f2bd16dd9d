/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Polled byte I/O on the UART the monitor already set up, the wait for a
 * quiet line, and the one number format the loader prints (eight digits for
 * the CRC32 line, four for the divisor on the FAST line). */
#include "loader.h"

void uart_putc(unsigned char byte)
{
	REG16(TX_GATE_REG) &= (unsigned short)~TX_GATE_BIT;
	/* The transmitter drains at the line's rate, so this wait always ends. */
	while (!(REG8(UART_LSR) & LSR_TX_FREE))
		;
	REG8(UART_DATA) = byte;
	REG16(TX_GATE_REG) |= TX_GATE_BIT;
}

int uart_getc_polls(unsigned int polls)
{
	for (; polls != 0; polls--)
		if (REG8(UART_LSR) & LSR_DATA_READY)
			return REG8(UART_DATA);
	return -1;
}

int uart_getc(void)
{
	return uart_getc_polls(RX_POLL_LIMIT);
}

/* Every poll counts toward the limit, so that endless noise ends it too. */
void uart_purge(void)
{
	unsigned int quiet = QUIET_POLLS;

	for (unsigned int polls = PURGE_POLLS; polls != 0 && quiet != 0; polls--) {
		if (REG8(UART_LSR) & LSR_DATA_READY) {
			(void)REG8(UART_DATA);
			quiet = QUIET_POLLS;
		} else {
			quiet--;
		}
	}
}

void uart_puthex_digits(unsigned int value, int digits)
{
	static const char hex[] = "0123456789abcdef";

	for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
		uart_putc((unsigned char)hex[(value >> shift) & 0xFu]);
}

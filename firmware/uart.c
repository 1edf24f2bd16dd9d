/* Polled byte I/O on the UART the monitor already set up, and the one number
 * format the loader prints (eight digits for the CRC32 line, four for the
 * divisor on the FAST line). */
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

int uart_getc(void)
{
	for (unsigned int polls = RX_POLL_LIMIT; polls != 0; polls--)
		if (REG8(UART_LSR) & LSR_DATA_READY)
			return REG8(UART_DATA);
	return -1;
}

void uart_puthex_digits(unsigned int value, int digits)
{
	static const char hex[] = "0123456789abcdef";

	for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
		uart_putc((unsigned char)hex[(value >> shift) & 0xFu]);
}

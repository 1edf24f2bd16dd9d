/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The fast entry's line: moving the UART to the host's rate and back.
 *
 * The loader reads the divisor the monitor left (the rate is uart_clock /
 * (16 * divisor), so the host can work out the clock from it) and reports it
 * as "FAST dddd".  The host answers 'S' and a divisor (low byte first) or
 * '=' to stay.  Then both sides confirm the rate: each 'U' is answered with
 * 'K', and 'G' lets the receive begin with its NAK.  Every wait is a poll
 * budget; a rate that does not confirm falls back to the monitor's, and a
 * sync that fails there too starts the receive anyway, where the host's
 * sender waits for the NAK as always.  At the end the monitor's divisor and
 * line control come back before anything else is said, and the loader waits
 * for one byte so that the host is known to listen at that rate again.
 * The divisor only changes once the transmitter is empty, so no byte on its
 * way out is garbled by the change. */
#include "loader.h"

static unsigned int monitor_divisor;
static unsigned char monitor_lcr;
static unsigned int current_divisor;

/* The next byte, or -1 once the budget is spent; every poll costs one. */
static int uart_getc_within(unsigned int *budget)
{
	while (*budget != 0) {
		(*budget)--;
		if (REG8(UART_LSR) & LSR_DATA_READY)
			return REG8(UART_DATA);
	}
	return -1;
}

static void set_divisor(unsigned int divisor)
{
	for (unsigned int polls = TX_DRAIN_POLLS; polls != 0; polls--)
		if (REG8(UART_LSR) & LSR_TX_EMPTY)
			break;
	REG8(UART_LCR) = monitor_lcr | LCR_DLAB;
	REG8(UART_DATA) = (unsigned char)divisor;
	REG8(UART_DLM) = (unsigned char)(divisor >> 8);
	REG8(UART_LCR) = monitor_lcr;
	current_divisor = divisor;
}

/* ASK_DIVISOR lo hi asks for a divisor; anything else, or nothing, keeps the monitor's. */
static unsigned int requested_divisor(void)
{
	unsigned int budget = NEGOTIATION_POLLS;
	int low, high;

	if (uart_getc_within(&budget) != ASK_DIVISOR)
		return 0;
	low = uart_getc_within(&budget);
	high = uart_getc_within(&budget);
	if (low < 0 || high < 0)
		return 0;
	return (unsigned int)low | (unsigned int)high << 8;
}

/* Returns on GO, or when the monitor's rate, too, saw none in its budget. */
static void sync(void)
{
	for (;;) {
		unsigned int budget = SYNC_POLLS;
		int byte;

		while ((byte = uart_getc_within(&budget)) >= 0) {
			if (byte == PROBE)
				uart_putc(PROBE_ANSWER);
			else if (byte == GO)
				return;
		}
		if (current_divisor == monitor_divisor)
			return;
		set_divisor(monitor_divisor);
	}
}

void fast_line_open(void)
{
	unsigned int divisor;

	monitor_lcr = REG8(UART_LCR);
	REG8(UART_LCR) = monitor_lcr | LCR_DLAB;
	monitor_divisor = REG8(UART_DATA) | (unsigned int)REG8(UART_DLM) << 8;
	REG8(UART_LCR) = monitor_lcr;
	current_divisor = monitor_divisor;

	uart_puts("FAST ");
	uart_puthex_digits(monitor_divisor, 4);
	uart_puts("\r\n");

	divisor = requested_divisor();
	if (divisor != 0)
		set_divisor(divisor);
	sync();
}

void fast_line_close(void)
{
	unsigned int budget = END_WAIT_POLLS;

	set_divisor(monitor_divisor);
	uart_getc_within(&budget);
}

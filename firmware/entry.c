/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The two routines the monitor's "g -e" calls; the linker script pins them
 * at offsets 0x274 (the default entry, "g -e a0080274") and 0x2A0 (the fast
 * entry, "g -e a00802a0").  The loader is uploaded once per run but started
 * again for every image, so each entry resets all of the loader's state
 * instead of relying on the zero bytes of the upload.  Both return to the
 * monitor when the transfer has ended. */
#include "loader.h"

__attribute__((section(".entry"), used))
void loader_entry(void)
{
	trace_reset();
	xmodem_reset((unsigned char *)DEST_START, 0);
	xmodem_receive();
}

/* The verdict waits until the UART is back at the monitor's rate and the host
 * has shown, with one byte, that it listens there too. */
__attribute__((section(".entry.fast"), used))
void loader_fast_entry(void)
{
	int last;

	trace_reset();
	xmodem_reset((unsigned char *)DEST_START, 1);
	fast_line_open();
	last = xmodem_transfer();
	fast_line_close();
	xmodem_report(last);
}

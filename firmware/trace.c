/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The trace ring: one code byte per packet outcome, written round-robin into
 * 4,095 bytes at 0xA0081000, each followed by a 0 that marks the newest end.
 * Nothing on the host reads it; it is there for a look with the monitor's
 * memory dump after a failed transfer.  Every start of the loader begins a
 * new record at the ring's first byte. */
#include "loader.h"

static unsigned int trace_next;

void trace_reset(void)
{
	trace_next = 0;
	REG8(TRACE_RING) = 0;
}

void trace_record(unsigned char code)
{
	REG8(TRACE_RING + trace_next) = code;
	if (++trace_next == TRACE_RING_SIZE)
		trace_next = 0;
	REG8(TRACE_RING + trace_next) = 0;
}

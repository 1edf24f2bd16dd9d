/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The compiler may emit calls to these even in freestanding code. */
#include <stddef.h>

void *memcpy(void *to, const void *from, size_t count)
{
	unsigned char *d = to;
	const unsigned char *s = from;

	while (count--)
		*d++ = *s++;
	return to;
}

void *memset(void *to, int value, size_t count)
{
	unsigned char *d = to;

	while (count--)
		*d++ = (unsigned char)value;
	return to;
}

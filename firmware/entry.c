/* The routine the monitor's "g -e a0080274" calls; the linker script pins it
 * at offset 0x274 of the image.  The loader is uploaded once per run but
 * started again for every image, so the entry resets all of the loader's state
 * instead of relying on the zero bytes of the upload.  It returns to the
 * monitor when the transfer has ended. */
#include "loader.h"

__attribute__((section(".entry"), used))
void loader_entry(void)
{
	trace_reset();
	xmodem_reset((unsigned char *)DEST_START);
	xmodem_receive();
}

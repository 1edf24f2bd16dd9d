/* One loadable section holding the whole 4,064-byte image at 0xA0080000:
 * the hand-written head, the leaf routines, the verify entry pinned at
 * offset 0x240, the digest entry pinned at 0x260, the entry pinned at
 * 0x274, the fast entry pinned at 0x2A0, the rest of the code, texts and tables, then the variables as zero bytes
 * up to 0xFE0.  The variables stay inside the loaded bytes so that the flat
 * image covers them; the assertions stop the build when the code outgrows
 * its places. */
OUTPUT_ARCH(mips)
ENTRY(loader_entry)

LOADER_BASE  = 0xA0080000;
VERIFY_ENTRY_OFFSET = 0x240;
DIGEST_ENTRY_OFFSET = 0x260;
ENTRY_OFFSET = 0x274;
FAST_ENTRY_OFFSET = 0x2A0;
IMAGE_SIZE   = 0xFE0;

SECTIONS
{
	. = LOADER_BASE;
	.image : {
		KEEP(*(.text.head))
		/* The small leaf routines fill the room before the entries. */
		*uart.o(.text .text.*)
		*trace.o(.text .text.*)
		*memory.o(.text .text.*)
		*crc32.o(.text .text.*)
		ASSERT(ABSOLUTE(.) <= LOADER_BASE + VERIFY_ENTRY_OFFSET, "code before the verify entry runs past offset 0x240");
		. = VERIFY_ENTRY_OFFSET;
		KEEP(*(.entry.verify))
		ASSERT(ABSOLUTE(.) <= LOADER_BASE + DIGEST_ENTRY_OFFSET, "the verify entry runs past offset 0x260");
		. = DIGEST_ENTRY_OFFSET;
		KEEP(*(.entry.digest))
		ASSERT(ABSOLUTE(.) <= LOADER_BASE + ENTRY_OFFSET, "the digest entry runs past offset 0x274");
		. = ENTRY_OFFSET;  /* inside a section, . counts from its start */
		KEEP(*(.entry))
		ASSERT(ABSOLUTE(.) <= LOADER_BASE + FAST_ENTRY_OFFSET, "the entry runs past offset 0x2A0");
		. = FAST_ENTRY_OFFSET;
		KEEP(*(.entry.fast))
		*(.text .text.*)
		*(.rodata .rodata.*)
		*(.data .data.* .sdata .sdata.*)
		*(.sbss .sbss.* .bss .bss.* COMMON)
		ASSERT(ABSOLUTE(.) <= LOADER_BASE + IMAGE_SIZE, "the loader's image outgrows 0xFE0 bytes");
		. = IMAGE_SIZE;
	} = 0

	/DISCARD/ : {
		*(.MIPS.abiflags) *(.reginfo) *(.MIPS.options) *(.pdr)
		*(.comment) *(.note .note.*) *(.gnu.attributes)
		*(.eh_frame .eh_frame_hdr) *(.mdebug.*)
	}
}

/* The second stage: one loadable section at 0xA0083000, its entry first
 * ("g -e a0083000"), then code, texts and tables, then the variables as zero
 * bytes inside the loaded image.  It calls the loader's routines at the
 * addresses of the loader's own link (--just-symbols), and must end before
 * its stream buffer at 0xA008F000 (loader.h). */
OUTPUT_ARCH(mips)
ENTRY(stream_entry)

STAGE_BASE = 0xA0083000;
STAGE_END  = 0xA008F000;

SECTIONS
{
	. = STAGE_BASE;
	.image : {
		KEEP(*(.entry.stream))
		*(.text .text.*)
		*(.rodata .rodata.*)
		*(.data .data.* .sdata .sdata.*)
		*(.sbss .sbss.* .bss .bss.* COMMON)
		. = ALIGN(4);
		ASSERT(ABSOLUTE(.) <= STAGE_END, "the second stage reaches its stream buffer");
	} = 0

	/DISCARD/ : {
		*(.MIPS.abiflags) *(.reginfo) *(.MIPS.options) *(.pdr)
		*(.comment) *(.note .note.*) *(.gnu.attributes)
		*(.eh_frame .eh_frame_hdr) *(.mdebug.*)
	}
}

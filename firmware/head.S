/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The image's first routine, uart_puts(text), placed at offset 0.
 * Written in assembly because the loader's first bytes are fixed: a 40-byte
 * frame saving ra at 32, fp and s0, then fp = sp with addu, which the
 * compiler does not emit in that form. */
	.set	noreorder
	.set	nomacro
	.section .text.head,"ax",@progbits
	.globl	uart_puts
	.type	uart_puts, @function
uart_puts:
	addiu	$sp, $sp, -40
	sw	$ra, 32($sp)
	sw	$fp, 28($sp)
	sw	$s0, 24($sp)
	addu	$fp, $sp, $zero
	addu	$s0, $a0, $zero
1:	lbu	$a0, 0($s0)
	beq	$a0, $zero, 2f
	nop
	jal	uart_putc
	addiu	$s0, $s0, 1		/* delay slot: next character */
	b	1b
	nop
2:	addu	$sp, $fp, $zero
	lw	$ra, 32($sp)
	lw	$fp, 28($sp)
	lw	$s0, 24($sp)
	jr	$ra
	addiu	$sp, $sp, 40		/* delay slot: drop the frame */
	.size	uart_puts, . - uart_puts

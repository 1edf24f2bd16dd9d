// SPDX-License-Identifier: GPL-2.0-or-later
// Texts kept byte for byte from the tool's original behaviour, though they
// look like slips.
//
// Scripts and people's notes parse this tool's messages and its banner: a
// wrapper greps for "Transferred cancelled", a log reader splits the banner on
// its double space, and a message once printed is matched as printed. A text
// here is therefore never "corrected"; a new message is written properly
// instead. Each text below says what looks wrong in it. The same holds for
// the messages left in their places that
//   - have one space after "Error:" where most have two ("Error: unable to
//     stat '%s'", "Error: unable to read from '%s'", "Error: unable to write
//     to '%s'", "Error: Unable to open port '%s'", "Error: port_getpmon timed
//     out reading from port", "Error: timeout reading from port", "Error:
//     ex_send read '0x%x' instead of ACK");
//   - name the function that failed rather than what failed
//     ("xmodem_sendline failed to write line", "xmodem_getbyte failed to read
//     byte", "port_readflush failed to read byte", "ex_send received NAK");
//   - say "Abort." in some messages and "Aborting" or "Aborting." in others.
#pragma once

// The version banner of -v, -h, --version and the capture log's first line:
// version 0.24 and the date of that release, 2002/10/30, unchanged since, with
// two spaces after the colon.
constexpr char VERSION_BANNER[] = "kelvane:  0.24 - 2002/10/30 - kelvane developers";

// The receiver cancelled the XMODEM transfer: "Transferred" for "Transfer".
constexpr char TRANSFER_CANCELLED_MESSAGE[] = "Error:  Transferred cancelled by remote side";

// The last, partial block of a piece could not be written: two spaces before
// "write". The format takes the piece's name.
constexpr char LAST_WRITE_FAILED_FORMAT[] = "Error: unable to  write (last) to '%s'";

// A write to the port took only part of the text: "to write" for "unable to write".
constexpr char PORT_SHORT_WRITE_MESSAGE[] = "Error:  port_send to write full buffer to serial port";

// SPDX-License-Identifier: GPL-2.0-or-later
// The monitor's echo of the commands it is typed.
//
// The monitor echoes what it is typed, so the text drained after the flash
// command shows the command as the monitor took it. A bit error on the way can
// turn one hexadecimal digit into another, and the monitor would then program
// from the wrong place, the wrong number of bytes or to the wrong place; such a
// command must not be confirmed.
//
// A drained line is looked at once a leftover prompt ("PMON> " or "PMram>")
// and any bytes outside printable ASCII at its start are set aside. The echo
// is the first such line that begins with "flash "; from there to the line's
// end it must be the command as sent. The monitor's own lines that merely
// mention the word ("Program flash ...? (y/n)", "flash: range outside the
// flash") are no echo.
//
// Whether a monitor echoes at all is learnt from the run's earlier commands: a
// drained line that is the whole command as sent ("load", "g -e a0080274"). A
// line that merely begins with the same word ("loading...") is the monitor's
// own text, not an echo.
//
// A monitor that shows no echo of the flash command cannot be judged. When the
// same monitor echoed an earlier command of the run ("load", "g -e ..."), the
// missing echo is itself damage (a changed byte in its first word, noise in
// front of it) and the command is declined; a monitor that never echoes goes
// on unjudged, and a command it refused shows as blocks never programmed.
#pragma once

#include <string>
#include <string_view>

enum class EchoVerdict {
    matches,  // the echo is the command as sent
    differs,  // the echo shows another command
    absent,   // no line is an echo of a flash command
};

struct FlashEcho {
    EchoVerdict verdict = EchoVerdict::absent;
    std::string line;  // the echo from "flash" on, when it differs
};

// The verdict on drained (CR removed, lines ended by LF) for command (the text
// sent, without its CR).
FlashEcho judge_flash_echo(std::string_view drained, std::string_view command);
// True when a line of text (lines ended by LF or CR) is command (as sent,
// without its CR) once a leftover prompt and non-printable bytes are set aside.
bool echoes_command(std::string_view text, std::string_view command);
// The line with a leftover prompt and the bytes outside printable ASCII at
// its start set aside, repeatedly.
std::string_view echo_text(std::string_view line);

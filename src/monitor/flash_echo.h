// The monitor's echo of the flash command.
//
// The monitor echoes what it is typed, so the text drained after the flash
// command shows the command as the monitor took it. A bit error on the way can
// turn one hexadecimal digit into another, and the monitor would then program
// from the wrong place, the wrong number of bytes or to the wrong place; such a
// command must not be confirmed. The echo is the first line that begins with
// "flash" (the monitor's own later lines, "flash: ..." messages, are not
// judged). A monitor that does not echo leaves no such line: then nothing can
// be judged here, and a command the monitor refused shows as blocks that were
// never programmed.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The echo line when it differs from command (the text sent, without its CR);
// nothing when it matches or when there is no echo.
std::optional<std::string> flash_echo_mismatch(std::string_view drained, std::string_view command);

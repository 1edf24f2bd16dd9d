// SPDX-License-Identifier: GPL-2.0-or-later
// What the dialogue makes of the monitor's replies: the programming watch's
// classification of a line, the judgement of the flash command's echo, the
// search for an earlier command's echo, the receiver's CRC32 line, the fast
// entry's offer, and the text shown on the terminal for a line.
//
// Beyond the sanitizers: a verdict of "matches" needs the command in the
// text, a differing echo is a "flash" line taken from the text, a CRC32
// report that reads has exactly the receiver's shape, an offer read is a
// divisor the UART can hold, and shown text holds printable ASCII only.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "core/shown_text.h"
#include "monitor/flash_echo.h"
#include "monitor/monitor_commands.h"
#include "monitor/programming_watch.h"
#include "monitor/receipt_check.h"
#include "monitor/monitor_prompt.h"
#include "transfer/fast_line.h"
#include "transfer/receiver_crc.h"

namespace {

constexpr std::string_view COMMAND = "flash 80090000 60000 200000";

void check(bool holds) {
    if (!holds) std::abort();
}

void watch_line(const std::string& text) {
    // The watch sees a line as the line reader leaves it: NUL-terminated.
    const WatchLine kind = classify_watch_line(text.c_str());
    const std::string_view line(text.c_str());
    switch (kind) {
        case WatchLine::progress:
            check(line.find(REPLY_PROGRAMMING) != std::string_view::npos &&
                  line.find(REPLY_ERROR) == std::string_view::npos);
            break;
        case WatchLine::error:
            // "Error" wins wherever it stands, beside "Programming block" too.
            check(line.find(REPLY_ERROR) != std::string_view::npos);
            break;
        case WatchLine::prompt:
            check(line_has_prompt(text.c_str()));
            break;
        case WatchLine::other:
            break;
    }
}

void flash_echo(std::string_view text) {
    const FlashEcho echo = judge_flash_echo(text, COMMAND);
    switch (echo.verdict) {
        case EchoVerdict::matches:
            check(text.find(COMMAND) != std::string_view::npos && echo.line.empty());
            break;
        case EchoVerdict::differs:
            check(echo.line.starts_with("flash") && echo.line != COMMAND &&
                  text.find(echo.line) != std::string_view::npos);
            break;
        case EchoVerdict::absent:
            check(echo.line.empty() && !echoes_command(text, COMMAND));
            break;
    }
    // The echo itself is found as an earlier command's echo is: as the whole command.
    if (echo.verdict == EchoVerdict::matches) check(echoes_command(text, COMMAND));
    if (echo.verdict == EchoVerdict::differs) check(echoes_command(text, echo.line));
}

void crc_line(std::string_view text, std::string_view line) {
    const ReceiverCrc report = find_receiver_crc(text);
    if (report.found == ReceiverCrc::Found::read) check(text.find(RECEIVER_CRC_TAG) != std::string_view::npos);
    const ReceiverCrc receipt = find_receipt(text, line);
    if (report.found == ReceiverCrc::Found::read) check(receipt.found == ReceiverCrc::Found::read);
}

void fast_offer(const std::string& line) {
    // The line reader's buffer: NUL-terminated, at most 1023 characters.
    const std::optional<unsigned> d0 = parse_fast_offer(line.c_str());
    if (d0) check(*d0 > 0 && *d0 <= 0xFFFF && line.starts_with("FAST "));
}

void shown(std::string_view text) {
    const std::string out = shown_text(text);
    check(out.size() >= text.size() && out.size() <= 4 * text.size());
    for (const char c : out) check(c >= 0x20 && c <= 0x7E);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // The first line stands for what the line reader returned after a drain.
    const size_t cut = text.find('\n');
    const std::string_view drained = cut == std::string_view::npos ? text : text.substr(0, cut);
    const std::string_view line = cut == std::string_view::npos ? std::string_view() : text.substr(cut + 1);
    watch_line(std::string(text.substr(0, 1023)));
    flash_echo(text);
    crc_line(drained, line);
    fast_offer(std::string(text.substr(0, 1023)));
    shown(text);
    return 0;
}

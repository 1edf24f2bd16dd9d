#include "monitor/flash_echo.h"

namespace {

constexpr std::string_view ECHO_START = "flash";

}  // namespace

std::optional<std::string> flash_echo_mismatch(std::string_view drained, std::string_view command) {
    while (!drained.empty()) {
        const size_t end = drained.find('\n');
        const std::string_view line = drained.substr(0, end);
        if (line.starts_with(ECHO_START)) {
            if (line == command) return std::nullopt;
            return std::string(line);
        }
        if (end == std::string_view::npos) break;
        drained.remove_prefix(end + 1);
    }
    return std::nullopt;
}

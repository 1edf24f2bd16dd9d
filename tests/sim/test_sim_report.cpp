// SPDX-License-Identifier: GPL-2.0-or-later
// The report's stream line: what the stream's resends cost.
#include "report.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The line after the "packets:" line.
std::string line_after_packets(const DeviceStats& stats) {
    const std::string report = format_report("flash.bin", 0x1000000, stats, {}, false, false);
    const size_t packets = report.find("\npackets: ");
    if (packets == std::string::npos) return "";
    const size_t start = report.find('\n', packets + 1) + 1;
    return report.substr(start, report.find('\n', start) - start);
}

TEST(Report, TheStreamLineFollowsThePacketsLine) {
    struct Case {
        const char* what;
        StreamCounts stream;
        const char* line;
    };
    const Case cases[] = {
        {"no stream, or a clean one", {}, "stream: 0 NAKs sent, 0 packets (0 bytes) received beyond those stored"},
        {"two NAKs, three frames resent",
         {.naks = 2, .received = 10, .received_bytes = 1350, .stored = 7, .stored_bytes = 945},
         "stream: 2 NAKs sent, 3 packets (405 bytes) received beyond those stored"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceStats stats;
        stats.packets.stream = c.stream;
        EXPECT_EQ(line_after_packets(stats), c.line);
    }
}

}  // namespace

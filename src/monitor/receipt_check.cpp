// SPDX-License-Identifier: GPL-2.0-or-later
#include "monitor/receipt_check.h"

#include <cerrno>
#include <string>

#include "core/fatal.h"

Receipt judge_receipt(const ReceiverCrc& report, const XmodemDigest& sent, bool receiver_ours) {
    switch (report.found) {
        case ReceiverCrc::Found::read:
            return report.crc == sent.crc && report.count == sent.bytes ? Receipt::confirmed : Receipt::damaged;
        case ReceiverCrc::Found::unreadable:
            // A line begun as ours but damaged: whoever sent it, the data are unproven.
            return Receipt::missing;
        case ReceiverCrc::Found::none:
            break;
    }
    return receiver_ours ? Receipt::missing : Receipt::unchecked;
}

ReceiverCrc find_receipt(std::string_view drained, std::string_view line) {
    // The line reader skips the line ends before a line, so the text goes on
    // where the drain stopped when that was inside a line.
    const std::string continued = std::string(drained) + std::string(line);
    ReceiverCrc best;
    for (const std::string_view text : {drained, std::string_view(continued), line}) {
        const ReceiverCrc report = find_receiver_crc(text);
        if (report.found == ReceiverCrc::Found::read) return report;
        if (report.found == ReceiverCrc::Found::unreadable) best = report;
    }
    return best;
}

void check_receipt(std::string_view drained, std::string_view line, const XmodemDigest& sent, bool receiver_ours,
                   const char* file_name) {
    const ReceiverCrc report = find_receipt(drained, line);
    switch (judge_receipt(report, sent, receiver_ours)) {
        case Receipt::confirmed:
        case Receipt::unchecked:
            return;
        case Receipt::damaged:
            refuse_exit("Error:  '%s' arrived damaged (CRC-32 %08x, sent %08x).  Aborting.", file_name,
                        static_cast<unsigned>(report.crc), static_cast<unsigned>(sent.crc));
        case Receipt::missing:
            refuse_exit("Error:  no CRC-32 came back for '%s'.  Aborting.", file_name);
    }
}

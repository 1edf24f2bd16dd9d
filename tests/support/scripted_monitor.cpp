// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/scripted_monitor.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>

#include "support/xmodem_packet.h"
#include "testkit/fd.h"

namespace {

constexpr char SOH = 0x01, ETX = 0x03, EOT = 0x04, ACK = 0x06, NAK = 0x15;
constexpr char PROMPT[] = "\r\nPMON> ";
constexpr unsigned long BLOCK = 0x20000;
constexpr size_t PACKET = 132;

bool starts_with(const std::string& text, const std::string& head) { return text.compare(0, head.size(), head) == 0; }

}  // namespace

std::string programming_blocks(const FlashRequest& request, unsigned long blocks) {
    std::string out = "\r\nErasing flash\r\n";
    for (unsigned long i = 0; i < blocks; ++i) {
        char line[64];
        snprintf(line, sizeof line, "Programming block %lx\r\n", request.offset + i * BLOCK);
        out += line;
    }
    return out + PROMPT;
}

std::string receiver_verdict(const std::string& stored) {
    const unsigned long crc = crc32(0, reinterpret_cast<const Bytef*>(stored.data()), static_cast<uInt>(stored.size()));
    char line[40];
    snprintf(line, sizeof line, "CRC32 %08lx %08zx\r\n", crc, stored.size());
    return "\r\nDownload Successful\r\n" + std::string(line);
}

ScriptedMonitor::ScriptedMonitor(int master_fd, MonitorScript script)
    : master_fd_(master_fd), script_(std::move(script)) {
    if (!script_.programming)
        script_.programming = [](const FlashRequest& r) { return programming_blocks(r, r.size / BLOCK); };
    if (!script_.echo) script_.echo = [](const std::string& line) { return line; };
    if (!script_.verdict) script_.verdict = receiver_verdict;
}

void ScriptedMonitor::say(const std::string& text) {
    if (babbling_) return;  // the babble is all it says now
    if (!testkit::write_all(master_fd_, text)) throw std::runtime_error("monitor write failed");
    if (!script_.babble.empty() && !script_.babble_after.empty() && text.find(script_.babble_after) != std::string::npos)
        babbling_ = true;
}

// As much babble as the line takes now, never waiting for room: the serve
// loop must still see kelvane end.
void ScriptedMonitor::babble_some() {
    pollfd room{master_fd_, POLLOUT, 0};
    if (poll(&room, 1, 0) <= 0) return;
    const ssize_t written = write(master_fd_, script_.babble.data(), script_.babble.size());
    (void)written;
}

void ScriptedMonitor::command(const std::string& line) {
    if (line.empty()) {
        say(PROMPT);
        return;
    }
    say(script_.echo(line) + "\r\n");  // the monitor echoes every command
    if (line == "load") {
        mode_ = Mode::load;
    } else if (line == "g -e a0080274") {
        mode_ = Mode::xmodem;
        expected_block_ = 1;
        transfers.emplace_back();
        say(std::string(1, NAK));
    } else if (starts_with(line, "flash ")) {
        flash_commands.push_back(line);
        pending_ = FlashRequest{};
        sscanf(line.c_str(), "flash 80090000 %lx %lx", &pending_.size, &pending_.offset);
        pending_.job = static_cast<int>(flash_commands.size()) - 1;
        say("Program flash? (y/n) ");
    } else if (line == "y") {
        const std::string output = script_.programming(pending_);
        say(output);
        if (output.empty()) mode_ = Mode::silent;
    } else if (line == "unzip") {
        say("Uncompressing kernel... done\r\nPMON> ");
    } else if (starts_with(line, "$linux console=")) {
        say(script_.restore_output);
    } else if (line == "$linux") {
        say("Linux booting\r\n");
    } else {
        say(std::string("Unknown command\r\nPMON> "));
    }
}

void ScriptedMonitor::xmodem_byte(unsigned char byte) {
    if (packet_.empty() && byte == EOT) {
        say(std::string(1, ACK) + script_.verdict(transfers.back()) + "PMON> ");
        mode_ = Mode::command;
        return;
    }
    packet_ += static_cast<char>(byte);
    if (packet_.size() < PACKET) return;
    unsigned sum = 0;
    for (size_t i = 3; i < 131; ++i) sum += static_cast<unsigned char>(packet_[i]);
    const auto block = static_cast<unsigned char>(packet_[1]);
    const bool good = packet_[0] == SOH && block == expected_block_ % 256 &&
                      static_cast<unsigned char>(packet_[2]) == 0xFF - block &&
                      static_cast<unsigned char>(packet_[131]) == (sum & 0xFF);
    if (good) {
        transfers.back() += packet_.substr(3, 128);
        ++expected_block_;
    } else {
        ++bad_packets;
    }
    packet_.clear();
    say(std::string(1, good ? ACK : NAK));
}

void ScriptedMonitor::take(unsigned char byte) {
    switch (mode_) {
        case Mode::command:
            if (byte == '\r') {
                const std::string line = line_;
                line_.clear();
                command(line);
            } else {
                line_ += static_cast<char>(byte);
            }
            break;
        case Mode::load:
            if (byte != ETX) {
                line_ += static_cast<char>(byte);
                break;
            }
            say(std::string(1, ACK));
            if (starts_with(line_, "S7")) {
                mode_ = Mode::command;
                say("\r\nEntry address is a0080000\r\nPMON> ");
            }
            line_.clear();
            break;
        case Mode::xmodem:
            xmodem_byte(byte);
            break;
        case Mode::silent:
            break;
    }
}

int ScriptedMonitor::serve(testkit::Child& kelvane, int timeout_seconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(timeout_seconds);
    std::optional<int> status;
    while (!status) {
        if (babbling_) babble_some();
        pollfd p{master_fd_, POLLIN, 0};
        const int ready = poll(&p, 1, babbling_ ? 1 : 20);
        if (ready > 0 && (p.revents & POLLIN)) {
            char buffer[4096];
            const ssize_t n = read(master_fd_, buffer, sizeof buffer);
            for (ssize_t i = 0; i < n; ++i) {
                received += buffer[i];
                take(static_cast<unsigned char>(buffer[i]));
            }
            continue;
        }
        status = kelvane.try_wait();
        if (!status && Clock::now() > deadline) {
            kelvane.stop(SIGKILL);
            return -1;
        }
    }
    // Whatever kelvane wrote just before it ended.
    for (char c : testkit::drain(master_fd_, 50)) {
        received += c;
        take(static_cast<unsigned char>(c));
    }
    return *status;
}

std::string xmodem_wire(const std::string& file) {
    std::string wire;
    for (size_t block = 1; block <= xmodem_packet_count(file.size()); ++block) wire += xmodem_file_packet(file, block);
    return wire + EOT;
}

// SPDX-License-Identifier: GPL-2.0-or-later
// A scripted PMON monitor on the master side of a pty, for runs of the real
// kelvane binary against the slave.
//
// It reads what kelvane writes, one byte at a time, and answers as the monitor
// would: a prompt for every bare carriage return; ACK after every ETX in
// "load" mode (which ends with the S7 line); an XMODEM checksum receiver after
// "g -e a0080274", whose verdict reports the CRC-32 of what it stored as our
// receiver does; a confirmation question after "flash ..."; the programming
// output after "y"; a prompt after "unzip"; the restore program's output
// after the restore boot command. Everything received is kept in order, so a
// test can compare the exact byte sequence. The whole run is single-threaded:
// kelvane is started first (start_kelvane, standard error going to a file),
// then the monitor serves the line until the process ends.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "testkit/process.h"

struct FlashRequest {
    unsigned long size = 0;
    unsigned long offset = 0;
    int job = 0;  // 0 for the first flash command of the run
};

struct MonitorScript {
    // What the monitor prints after "y\r" (its echo aside). Default: one
    // "Programming block" line per 128 KiB block, then the prompt.
    std::function<std::string(const FlashRequest&)> programming;
    // The echo of a typed command line. Default: the line as typed.
    std::function<std::string(const std::string& line)> echo;
    // What the receiver prints after it acknowledged EOT, given the data it
    // stored (before the prompt). Default: receiver_verdict.
    std::function<std::string(const std::string& stored)> verdict;
    // What the restore boot prints after its echo.
    std::string restore_output = "Linux booting\r\nRestoring factory defaults\r\nHard reset\r\nnever read\r\n";
    // A babbling line: once the monitor has said babble_after, it sends babble
    // over and over, without a pause, whatever it is sent, until kelvane ends.
    std::string babble_after;
    std::string babble;
};

// The default programming output for a request.
std::string programming_blocks(const FlashRequest& request, unsigned long blocks);
// Our receiver's verdict after a transfer that stored these bytes: success and
// the CRC-32 line.
std::string receiver_verdict(const std::string& stored);

class ScriptedMonitor {
public:
    ScriptedMonitor(int master_fd, MonitorScript script);

    // Serves the line until kelvane ends (or timeout_seconds pass, when it is
    // killed); returns its exit status, or -1 after the time-out.
    int serve(testkit::Child& kelvane, int timeout_seconds);

    std::string received;                     // every byte kelvane wrote, in order
    std::vector<std::string> transfers;       // data of each XMODEM transfer, filler included
    std::vector<std::string> flash_commands;  // each flash command, without its CR
    int bad_packets = 0;                      // packets with a wrong header or checksum

private:
    enum class Mode { command, load, xmodem, silent };
    void take(unsigned char byte);
    void command(const std::string& line);
    void xmodem_byte(unsigned char byte);
    void say(const std::string& text);
    void babble_some();

    int master_fd_;
    MonitorScript script_;
    Mode mode_ = Mode::command;
    std::string line_;
    std::string packet_;
    int expected_block_ = 1;
    FlashRequest pending_;
    bool babbling_ = false;
};

// The XMODEM packets (then EOT) that carry file, as they must appear on the wire.
std::string xmodem_wire(const std::string& file);

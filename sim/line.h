// The serial line: a pseudo-terminal whose slave the host opens as its port.
//
// The line is made raw through the master before its name is printed, so the
// slave's line discipline neither echoes nor translates anything. The
// simulator keeps one slave descriptor of its own open (and never reads it):
// otherwise every time the host closes the port the master reports a hang-up
// and what the handheld writes in between is lost or left stale.
//
// A reader thread moves the host's bytes into the receive queue (rx_queue.h),
// which paces them and decides their faults. The handheld side takes bytes from
// it (the monitor directly, programs through the UART) under the line's lock.
// Output is written byte by byte at the paced rate.
#pragma once

#include "faults.h"
#include "options.h"
#include "rx_queue.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

struct LineCounters {
    uint64_t rx_bytes = 0;        // bytes received from the host
    uint64_t tx_bytes = 0;        // bytes handed to the host
    uint64_t rx_dropped = 0;
    uint64_t rx_corrupted = 0;
    uint64_t rx_inserted = 0;
    uint64_t rx_swapped = 0;      // pairs of data bytes swapped in packets
    uint64_t tx_corrupted = 0;
    uint64_t tx_inserted = 0;
    uint64_t tx_lost = 0;         // output nobody took (no reader, silent, hung up)
};

struct Line {
    int master = -1;
    int keeper = -1;
    std::string slave_path;
    int64_t byte_ns = 0;  // time of one byte on the paced line; 0 unpaced
    FaultPlan plan;

    std::mutex mu;  // everything below except the tx pacing clock
    std::condition_variable cv;
    RxQueue rx;
    bool faults_active = false;
    bool silent = false;
    bool hung_up = false;
    bool stopping = false;
    FaultState faults;     // one generator for both directions
    LineCounters tally;    // read through line_counters: rx's fault counts are kept in rx

    std::mutex tx_mu;  // one writer at a time, and the master's life
    int64_t tx_next_free = 0;
};

int64_t monotonic_ns();

// Creates the pseudo-terminal, makes it raw, opens the keeper descriptor.
bool line_open(Line& line, std::string& error);
// Body of the reader thread; returns after line_stop or a hang-up.
void line_reader(Line& line);
void line_stop(Line& line);
void line_set_faults_active(Line& line, bool active);

// Next received byte, waiting at most timeout_ms (forever when negative); -1 on time-out.
int line_get(Line& line, int timeout_ms);
// Whether a byte is ready for the UART now.
bool line_ready(Line& line);
// Waits until a byte is ready or max_ns passed.
void line_wait(Line& line, int64_t max_ns);
// Takes the ready byte (call only after line_ready returned true).
RxByte line_take(Line& line);
// The program has just taken the SOH that starts a packet (see rx_packet_started).
void line_packet_started(Line& line);

// Sends bytes to the host at the line's pace; with faults, sent bytes may be hit.
void line_send(Line& line, const uint8_t* bytes, size_t count);
void line_send(Line& line, const std::string& text);

// Bytes written to the host that it has not read yet.
int line_unread_by_host(Line& line);

LineCounters line_counters(Line& line);
// The same, for a caller that already holds the line's mu.
LineCounters line_counters_held(const Line& line);

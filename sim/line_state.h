// SPDX-License-Identifier: GPL-2.0-or-later
// The serial line's state as one record: what the line (line.h) decides about
// each byte and what the pseudo-terminal under it (pty_transport.h) writes to
// and reads from the host. Both work on it, under the locks it names and in
// the order it gives; keeping it apart lets the pseudo-terminal be read
// without the line's rules, and the line without the terminal's calls.
#pragma once

#include "adapter.h"
#include "faults.h"
#include "pacing.h"
#include "rx_queue.h"
#include "tx_faults.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

struct LineCounters {
    uint64_t rx_bytes = 0;  // bytes received from the host
    uint64_t tx_bytes = 0;  // bytes handed to the host
    uint64_t rx_dropped = 0;
    uint64_t rx_corrupted = 0;
    uint64_t rx_inserted = 0;
    uint64_t rx_swapped = 0;  // pairs of data bytes swapped in packets
    uint64_t tx_corrupted = 0;
    uint64_t tx_inserted = 0;
    uint64_t tx_lost = 0;     // output nobody took (no reader, silent, hung up)
    uint64_t rx_overrun = 0;  // bytes lost because the UART's receive FIFO was full
    uint64_t rx_garbled = 0;  // bytes the host sent at a rate the handheld did not run at
    uint64_t tx_garbled = 0;  // bytes the handheld sent at a rate the host did not run at
};

struct Line {
    uint32_t base_baud = 0;                  // --baud: the pace at the monitor's divisor; 0 unpaced
    uint32_t clock_hz = DEFAULT_UART_CLOCK;  // the UART's clock
    uint32_t monitor_divisor = 0;            // the divisor for 115200 bit/s (set by line_open)
    FaultPlan plan;
    // Release time of the first received byte not in the UART's FIFO,
    // INT64_MAX when none: read without the lock by a polling program,
    // written under mu.
    std::atomic<int64_t> next_release{INT64_MAX};
    // Until when the handheld's side waits in short naps (the host may answer).
    std::atomic<int64_t> warm_until{0};

    std::mutex mu;  // everything below but the tx pacing clock, the pseudo-terminal and the adapter
    std::condition_variable cv;
    RxQueue rx;
    bool faults_active = false;
    bool silent = false;
    bool hung_up = false;
    bool stopping = false;
    int64_t monitor_took = 0;  // release of the last byte the monitor read
    FaultState faults;         // one generator for both directions
    TxFaultCounts tx_counts;   // the send side's faults, as rx.counts holds the receive side's
    LineCounters tally;        // read through line_counters: the fault counts are kept in rx and tx_counts
    uint32_t divisor = 0;      // the handheld's UART divisor
    int64_t byte_ns = 0;       // time of one byte at that divisor; 0 unpaced
    FaultRng rx_garble;        // what a byte sent at the wrong rate turns into, per direction
    FaultRng tx_garble;

    // Locks are taken in this order: tx_mu, adapter_mu, master_mu, mu.
    std::mutex tx_mu;  // one sender at a time; held while its byte waits to cross
    TxSchedule tx;

    // The pseudo-terminal (pty_transport.h).
    int master = -1;
    int keeper = -1;
    std::string slave_path;
    std::mutex master_mu;  // writes to the master, and the life of master and keeper

    // A USB adapter's latency towards the host (--adapter-latency; none at 0).
    std::mutex adapter_mu;
    std::condition_variable adapter_cv;
    AdapterBuffer adapter;
};

// Release time of the first received byte not in the UART's FIFO (INT64_MAX: none).
inline int64_t line_next_release(const Line& line) { return line.next_release.load(std::memory_order_acquire); }
// When a wait of the line's from `now` to `deadline` should wake first
// (warm_wake): short naps close to the deadline and just after a byte went to the host.
inline int64_t line_next_wake(const Line& line, int64_t now, int64_t deadline) {
    return warm_wake(line.warm_until.load(std::memory_order_relaxed), now, deadline);
}


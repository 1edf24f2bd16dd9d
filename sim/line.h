// SPDX-License-Identifier: GPL-2.0-or-later
// The serial line: a pseudo-terminal whose slave the host opens as its port.
//
// The line is made raw through the master before its name is printed, so the
// slave's line discipline neither echoes nor translates anything. The
// simulator keeps one slave descriptor of its own open (and never reads it):
// otherwise every time the host closes the port the master reports a hang-up
// and what the handheld writes in between is lost or left stale.
//
// A reader thread moves the host's bytes into the receive queue (rx_queue.h),
// which paces them and decides their faults; it stamps each read under the
// line's lock, so a byte that is not queued yet cannot be released before the
// time the queue was last looked at plus one byte time. The handheld side
// takes bytes from the queue (the monitor directly, programs through the
// UART's FIFO in their own modelled time) under the line's lock. Output is
// written byte by byte at the paced rate, each byte once its deadline has
// passed (pacing.h).
//
// Rates: the handheld's UART runs at clock / (16 * divisor), the host at the
// output speed of the slave's termios, which the simulator reads through its
// keeper descriptor for every chunk it reads and every byte it sends (the host
// sets it with tcsetattr on its own descriptor of the same slave). While the
// two disagree by more than 2 %, every byte in either direction arrives as some
// other byte, drawn from a generator of its own per direction that is seeded
// from --seed. A paced line takes its byte time from the divisor too.
#pragma once

#include "adapter.h"
#include "faults.h"
#include "options.h"
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
    int master = -1;
    int keeper = -1;
    std::string slave_path;
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

    std::mutex mu;  // everything below except the tx pacing clock
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

    std::mutex master_mu;  // writes to the master, and the life of master and keeper

    // A USB adapter's latency towards the host (--adapter-latency; none at 0).
    std::mutex adapter_mu;
    std::condition_variable adapter_cv;
    AdapterBuffer adapter;
};

// Creates the pseudo-terminal, makes it raw, opens the keeper descriptor.
bool line_open(Line& line, std::string& error);
// Body of the reader thread; returns after line_stop or a hang-up.
void line_reader(Line& line);
// Body of the adapter's thread, which sends a held burst when its timer runs
// out (started only with an adapter latency); never returns.
[[noreturn]] void line_adapter(Line& line);
// Queues bytes the host sent at host_rate bit/s, read at `now` (the reader's
// step, apart for tests); false when they hung the line up. Wakes no one.
bool line_receive(Line& line, const uint8_t* bytes, size_t count, int64_t now, uint32_t host_rate);
void line_stop(Line& line);
void line_set_faults_active(Line& line, bool active);

// Next received byte, waiting at most timeout_ms (forever when negative); -1 on time-out.
int line_get(Line& line, int timeout_ms);
// Whether a byte is ready for the monitor now (real time).
bool line_ready(Line& line);
// Takes the ready byte (call only after line_ready returned true).
RxByte line_take(Line& line);

// A program's side, in its modelled time. A program that the monitor starts
// at real time `now` starts at the release of the command's last byte: on the
// handheld it runs at once, and what the host sends next must not meet a UART
// that the emulator's own start-up left unread.
int64_t line_program_start(Line& line, int64_t now);
// Waits until every byte the host can
// still send is released after model time `at`, and returns the model time
// up to which that holds (beyond `at`). When that needs the real clock to
// advance, the wait lets it run `slack` further, unless the host sends first.
int64_t line_known_after(Line& line, int64_t at, int64_t slack);
// The UART's receive FIFO at model time `at` (call once line_known_after
// passed it): its bytes after those released by then entered it.
struct FifoView {
    size_t held = 0;    // bytes in the FIFO
    unsigned lost = 0;  // bytes lost to overrun as they came
};
FifoView line_admit(Line& line, int64_t at);
// Takes the FIFO's first byte (call only when it holds one).
RxByte line_take_admitted(Line& line);
// The program has just taken the SOH or STX that starts a packet with
// data_size data bytes (see rx_packet_started).
void line_packet_started(Line& line, unsigned data_size);
// The program returned: what its FIFO still holds is the monitor's to read.
void line_program_ended(Line& line);
inline int64_t line_next_release(const Line& line) { return line.next_release.load(std::memory_order_acquire); }

// Sets the handheld's divisor: the line's pace and the rate bytes must match.
void line_set_divisor(Line& line, uint32_t divisor);
uint32_t line_divisor(Line& line);

// Sends bytes to the host at the line's pace; with faults, sent bytes may be hit.
void line_send(Line& line, const uint8_t* bytes, size_t count);
void line_send(Line& line, const std::string& text);
// The same for bytes handed over at time `at` (a program's modelled time); the
// host gets each once the real clock has passed its end, which is returned.
int64_t line_send_at(Line& line, const uint8_t* bytes, size_t count, int64_t at);

// Bytes on their way to the host that it has not read yet, the adapter's included.
int line_unread_by_host(Line& line);

LineCounters line_counters(Line& line);
// The same, for a caller that already holds the line's mu.
LineCounters line_counters_held(const Line& line);

// SPDX-License-Identifier: GPL-2.0-or-later
// The serial line between the host and the handheld: when each byte crosses
// it, and what faults and mismatched rates make of it. The pseudo-terminal
// under it, with its threads and its writes to the host, is pty_transport.h.
//
// The host's bytes, as the reader thread hands them over, enter the receive
// queue (rx_queue.h), which paces them and decides their faults; each read is
// stamped under the line's lock, so a byte that is not queued yet cannot be
// released before the time the queue was last looked at plus one byte time.
// The handheld side takes bytes from the queue (the monitor directly, programs
// through the UART's FIFO in their own modelled time) under the line's lock.
// Output has its faults decided as each byte is handed over (tx_faults.h), as
// the receive queue decides a received byte's, and goes to the host byte by
// byte at the paced rate, each byte once its deadline has passed (pacing.h).
//
// Rates: the handheld's UART runs at clock / (16 * divisor), the host at the
// output speed of the slave's termios, which the simulator reads
// (pty_host_rate) for every chunk it reads and every byte it sends. While the
// two disagree by more than 2 %, every byte in either direction arrives as some
// other byte, drawn from a generator of its own per direction that is seeded
// from --seed. A paced line takes its byte time from the divisor too.
#pragma once

#include "line_state.h"

#include <cstdint>
#include <string>

// Opens the pseudo-terminal (pty_open) and readies the line on it: the fault
// generators seeded, the UART at the monitor's divisor.
bool line_open(Line& line, std::string& error);
// Queues bytes the reader has just read, which the host sent at host_rate
// bit/s, and wakes the handheld's side; false when they hung the line up.
bool line_receive_read(Line& line, const uint8_t* bytes, size_t count, uint32_t host_rate);
// The same for bytes read at `now`, for tests; wakes no one.
bool line_receive(Line& line, const uint8_t* bytes, size_t count, int64_t now, uint32_t host_rate);
// Body of the reader thread: hands what the host writes to the line, one read
// at a time; returns after line_stop or a hang-up.
void line_reader(Line& line);
// Stops the reader thread.
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
// Sets the handheld's divisor: the line's pace and the rate bytes must match.
void line_set_divisor(Line& line, uint32_t divisor);
uint32_t line_divisor(Line& line);

// Sends bytes to the host at the line's pace; with faults, sent bytes may be hit.
void line_send(Line& line, const uint8_t* bytes, size_t count);
void line_send(Line& line, const std::string& text);
// The same for bytes handed over at time `at` (a program's modelled time); the
// host gets each once the real clock has passed its end, which is returned.
int64_t line_send_at(Line& line, const uint8_t* bytes, size_t count, int64_t at);

LineCounters line_counters(Line& line);
// The same, for a caller that already holds the line's mu.
LineCounters line_counters_held(const Line& line);

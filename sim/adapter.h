// SPDX-License-Identifier: GPL-2.0-or-later
// A USB serial adapter between the handheld's UART and the host.
//
// A common adapter does not pass each byte from the line to the host at once:
// it holds them and sends a burst when its latency timer runs out, counted from
// the first byte held (16 ms by default, 1 ms when the host's driver asks for
// low latency), or as soon as a USB packet's 62 bytes of data are waiting.
// Every answer of a stop-and-wait protocol pays that timer. The other way, the
// host's bytes reach the line without such a wait. This is the burst rule
// alone; the pseudo-terminal (pty_transport.h) hands it the bytes and writes
// the bursts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Data bytes of one of the adapter's USB packets (64 less two status bytes).
constexpr size_t ADAPTER_BURST_MAX = 62;

struct AdapterBuffer {
    int64_t latency_ns = 0;
    std::vector<uint8_t> held;
    int64_t due = INT64_MAX;  // when the held burst leaves; INT64_MAX when none is held
};

// A byte leaves the line into the adapter at `at`; true when the burst is
// full and leaves now.
bool adapter_hold(AdapterBuffer& adapter, uint8_t byte, int64_t at);
// The held burst, which leaves; the adapter holds nothing after.
std::vector<uint8_t> adapter_take(AdapterBuffer& adapter);

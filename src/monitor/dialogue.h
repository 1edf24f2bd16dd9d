// SPDX-License-Identifier: GPL-2.0-or-later
// The flashing dialogue: drives the monitor through every job, then ends the program.
//
// It opens the port, waits without limit for the handheld's first byte, then
// for each job wakes the monitor, uploads the XMODEM receiver (before the first
// job only, unless -X: the dialogue remembers that the receiver is in RAM),
// starts it, sends the image, gives the flash command for the sent size
// rounded up to whole blocks, and watches the programming up to the prompt.
// Afterwards it can boot the system (-r) or boot it once restoring the
// defaults (-R, which wins). Every failure ends the program where it is found.
//
// A run that ends with status 0 has seen its work done, not only ended: an
// image is sent and flashed only while its file is still the one checked
// (looked up again before the receiver starts and after the transfer), only
// when the receiver's CRC-32 shows it reached RAM as sent, the flash command
// is confirmed only when the monitor's echo shows it as sent (a monitor that
// echoed the run's earlier commands must echo it) and the monitor asks for the
// confirmation ("y" is never typed after a refusal), and programming counts
// only with a "Programming block" line for
// every block and no error; anything else ends the run before another image
// or a boot uses the flash. With -V the receiver then reads the flash back,
// and a CRC-32 other than the image's ends the run at the same point.
#pragma once

#include "jobs/flash_job.h"

struct RunOptions;

// Flashes jobs in their order.
[[noreturn]] void run_dialogue(const char* device_path, const JobList& jobs, const RunOptions& run_options);

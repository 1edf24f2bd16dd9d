// The flashing dialogue: drives the monitor through every job, then ends the program.
//
// It opens the port, waits without limit for the handheld's first byte, then
// for each job wakes the monitor, uploads the XMODEM receiver (before the first
// job only, unless -X: the dialogue remembers that the receiver is in RAM), starts it, sends the image, gives the flash command for
// the sent size rounded up to whole blocks, and watches the programming up to
// the prompt. Afterwards it can boot the system (-r) or boot it once restoring
// the defaults (-R, which wins). Every failure ends the program where it is
// found; so does programming that reported errors, before anything else runs.
#pragma once

struct RunOptions;

[[noreturn]] void run_dialogue(const char* device_path, const RunOptions& run_options);

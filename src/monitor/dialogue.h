// The flashing dialogue: drives the monitor through every job, then ends the program.
#pragma once

struct RunOptions;

[[noreturn]] void run_dialogue(const char* device_path, RunOptions& run_options);

#include "monitor/dialogue.h"

#include <cstdio>

#include "cli/fatal.h"
#include "cli/run_options.h"
#include "serial/port.h"

void run_dialogue(const char* device_path, RunOptions& run_options) {
    (void)run_options;
    fprintf(stderr, "Opening serial port...");
    const int port_fd = port_open(device_path);
    if (port_fd < 0) error_exit("Error: Unable to open port '%s'", device_path);
    fprintf(stderr, "done\n");
    // The rest of the dialogue is still to come.
    cleanup_and_exit(0);
}

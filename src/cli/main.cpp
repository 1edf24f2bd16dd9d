// SPDX-License-Identifier: GPL-2.0-or-later
// kelvane: flashes firmware images into a QZ4 handheld through its PMON monitor.
// main is the run sequence itself; every failure ends the program where it is found.
#include <cstdio>
#include <new>

#include "cli/help.h"
#include "cli/switches.h"
#include "core/exit_signals.h"
#include "core/fatal.h"
#include "core/standard_descriptors.h"
#include "jobs/job_list.h"
#include "jobs/piece_cleanup.h"
#include "jobs/plan_check.h"
#include "jobs/run_piece.h"
#include "jobs/pmon_guard.h"
#include "monitor/dialogue.h"
#include "serial/capture.h"
#include "transfer/progress.h"

namespace {

constexpr int WORDS_PER_JOB = 2;  // a file name and its target
constexpr char DEFAULT_PORT_NOTE[] = "Using port %s (no -s or KELVANE_PORT given); kelvane -L lists the others\n";

// The jobs of the words left after the switches, paired; a last lone file has no target.
JobList jobs_of_words(char* const words[], int count, const RunOptions& run_options) {
    JobList jobs;
    for (int i = 0; i < count; i += WORDS_PER_JOB)
        job_add(jobs, words[i], i + 1 < count ? words[i + 1] : nullptr, run_options);
    return jobs;
}

[[noreturn]] void run(int argc, char* argv[]) {
    register_piece_cleanup();
    register_progress_tick_cleanup();
    install_exit_signal_handlers();
    RunOptions switches;
    capture_enabled = false;
    build_command_echo(command_echo, argc, argv);
    answer_long_switches(argc, argv);
    // The default port; a -s read below replaces it.
    switches.port_name = port_from_environment();
    const int first_word = read_switches(argc, argv, switches);
    const RunOptions& run_options = switches;  // read-only from here on
    build_device_path(device_path, run_options);

    const int word_count = argc - first_word;
    if (word_count < WORDS_PER_JOB && !run_options.restore_defaults) print_help();
    std::fputs("\n", stderr);
    // ttyS0 exists on most PCs while the handheld hangs on a USB adapter: say which port waits.
    if (!run_options.port_name) std::fprintf(stderr, DEFAULT_PORT_NOTE, device_path);

    const JobList jobs = jobs_of_words(argv + first_word, word_count, run_options);
    if (run_options.overwrite_check) check_pmon_overwrite(jobs);
    // The guard's messages stay for what it catches; the plan's own rules follow, -C and -D or not.
    check_plan(jobs);
    if (run_options.changed_only) check_run_piece_names(jobs, run_options);
    run_dialogue(device_path, jobs, run_options);
}

}  // namespace

int main(int argc, char* argv[]) {
    // Before any open: the port must never become standard error.
    hold_standard_descriptors();
    try {
        run(argc, argv);
    } catch (const std::bad_alloc&) {
        out_of_memory_exit();
    }
}

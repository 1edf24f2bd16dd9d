// SPDX-License-Identifier: GPL-2.0-or-later
// One end-to-end run: qz4sim started on a fresh flash, kelvane run against it,
// and the verdict on what ended up in the flash.
//
// No run may end with status 0 unless the flash holds the image: that is
// "wrong", whatever damage the line did. A run that fails should leave the
// region untouched (still erased); one that fails after the monitor wrote it
// (a damaged report of the programming, say) is told apart, because with
// faults on the whole dialogue that is an honest end too: status 1 says the
// result is not known to be good.
#pragma once

#include "sim/sim_process.h"
#include "support/run_binary.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

enum class Outcome { flashed, refused_untouched, failed_after_writing, wrong };

const char* outcome_name(Outcome outcome);

// Picks "N" out of a report line "<key>: ... N <label>...", or -1.
long long report_number(const std::string& report, const std::string& key, const std::string& label);

// The verdict on one run that flashed `image` at `offset`.
Outcome judge_run(int exit_status, const std::string& flash, uint32_t offset, const std::string& image);

class EndToEnd : public testing::Test {
protected:
    void start_sim(const std::vector<std::string>& extra = {});
    // The same on an erased flash, for each case of a table in one test.
    void start_sim_on_fresh_flash(const std::vector<std::string>& extra = {});
    // Runs kelvane on the simulator's line, in the test's directory, with -t there.
    testkit::RunResult kelvane(const std::vector<std::string>& args);
    // Stops the simulator; its report.
    std::string stop_sim();
    // Asks the running simulator for its report until the count `label` of
    // line `key` reaches at_least or timeout_ms pass; the last report.
    std::string report_reaching(const std::string& key, const std::string& label, long long at_least, int timeout_ms);
    std::string flash() const { return testkit::read_file(dir.file("flash.bin")); }
    // A deterministic image file of size bytes; its content.
    std::string make_image(const std::string& name, long long size, unsigned seed);
    // One run that flashes a 70,000-byte kernel and a one-block cramfs (from
    // seeds seed and seed + 1) with `options` before them, stops the
    // simulator and expects status 0 and the flash holding both images.
    struct KernelAndCramfs {
        testkit::RunResult run;
        std::string report;
    };
    KernelAndCramfs flash_kernel_and_cramfs(const std::vector<std::string>& options, unsigned seed);

    testkit::TempDir dir;
    std::unique_ptr<SimProcess> sim;
};

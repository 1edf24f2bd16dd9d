// SPDX-License-Identifier: GPL-2.0-or-later
// A seeded fault campaign: many short kelvane runs, each against a fresh
// handheld with one kind of line fault, every run judged by what the flash
// holds. Its verdict: no run ends with status 0 unless the flash holds the
// image. Faults confined to the transfer must moreover never fail a run after
// the flash was written, and never put a packet byte on the monitor's command
// line. Faults on the whole dialogue may (a damaged "Programming block" line
// ends the run with status 1 after the monitor wrote), and such runs are
// counted apart.
//
// The summary gives, per kind of fault, how the runs ended, which message
// ended the failed ones, the damaged packets that the receiver took past its
// 8-bit checksum (every one of which the CRC-32 check has to catch), and the
// packet bytes the monitor read as commands. The single faults of a noisy
// cable (one corrupted, inserted or lost byte, one damaged answer), at the
// monitor's rate and with -b 921600, are what the resends are for: their share
// of runs that end with the image flashed is reported against a goal of 95 %.
//
// QZ4SIM_CAMPAIGN_RUNS sets the number of runs (default 100, four to five minutes
// under the sanitizers on two loaded cores); QZ4SIM_CAMPAIGN_KIND, an index into
// KINDS or a range of them ("10-17"), restricts the campaign to those kinds; QZ4SIM_CAMPAIGN_JOBS runs
// that many at once (default 4), each in a worker process of its own: a run
// mostly waits for the line (a run takes about half a core-second per four
// seconds), so four share two cores well.
#include "e2e/e2e_run.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace {

constexpr uint32_t KERNEL = 0;
constexpr long long SHORT_IMAGE = 4196;  // 33 packets, the last one partly filler
constexpr long long IMAGE = 20000;       // 157 packets, or 19 kilobyte packets and 4 short ones
constexpr int DEFAULT_RUNS = 100;
constexpr int DEFAULT_JOBS = 4;
constexpr int FIRST_SEED = 1000;
constexpr double SUCCESS_GOAL = 0.95;  // of the single-fault kinds' runs, flashed

struct FaultKind {
    const char* name;
    std::vector<std::string> args;
    bool whole_dialogue = false;  // faults outside the transfer too
    long long image_size = SHORT_IMAGE;
    bool fast = false;          // kelvane runs with -b 921600
    bool single_fault = false;  // counts toward the success goal
};

// Probabilities put about one fault into each run. On the whole dialogue most
// bytes are the loader's S-records, so most faults end the upload.
const FaultKind KINDS[] = {
    {"corruption bursts of 4 bytes", {"--rx-corrupt", "0.0005", "--burst", "4"}},
    {"single corrupted bytes", {"--rx-corrupt", "0.0005"}},
    {"noise toward the handheld", {"--rx-noise", "0.0005"}},
    {"corrupted or extra bytes toward the host", {"--tx-corrupt", "0.01", "--tx-noise", "0.01"}},
    {"lost bytes", {"--rx-drop", "0.0002"}},
    {"two data bytes swapped (sum kept)", {"--rx-swap", "0.05"}},
    {"dialogue: single corrupted bytes", {"--faults-everywhere", "--rx-corrupt", "0.0001"}, true},
    {"dialogue: lost bytes", {"--faults-everywhere", "--rx-drop", "0.0001"}, true},
    {"dialogue: noise toward the handheld", {"--faults-everywhere", "--rx-noise", "0.0001"}, true},
    {"dialogue: damage toward the host",
     {"--faults-everywhere", "--tx-corrupt", "0.0005", "--tx-noise", "0.0005"},
     true},
    // A noisy cable during the transfer of a 20,000-byte image, at both rates.
    {"20k: single corrupted bytes", {"--rx-corrupt", "0.0003"}, false, IMAGE, false, true},
    {"20k -b 921600: single corrupted bytes", {"--rx-corrupt", "0.0003"}, false, IMAGE, true, true},
    {"20k: inserted bytes", {"--rx-noise", "0.0002"}, false, IMAGE, false, true},
    {"20k -b 921600: inserted bytes", {"--rx-noise", "0.0002"}, false, IMAGE, true, true},
    {"20k: damaged answers", {"--tx-corrupt", "0.0005"}, false, IMAGE, false, true},
    {"20k -b 921600: damaged answers", {"--tx-corrupt", "0.0005"}, false, IMAGE, true, true},
    {"20k: lost bytes", {"--rx-drop", "0.00004"}, false, IMAGE, false, true},
    {"20k -b 921600: lost bytes", {"--rx-drop", "0.00004"}, false, IMAGE, true, true},
    // The checksum cannot see these: the CRC-32 must, with the flash untouched.
    {"20k: swapped pairs", {"--rx-swap", "0.02"}, false, IMAGE},
    {"20k -b 921600: swapped pairs", {"--rx-swap", "0.02"}, false, IMAGE, true},
};
constexpr int KIND_COUNT = static_cast<int>(std::size(KINDS));

// What ended a failed run, by a piece of its message.
const struct {
    const char* needle;
    const char* label;
} ENDINGS[] = {
    {"ex_send received NAK", "upload: record refused"},
    {"ex_send read", "upload: no answer"},
    {"Read timeout", "transfer: time-out"},
    {"Received NAK too many times", "transfer: resends spent"},
    {"Transferred cancelled", "transfer: cancelled"},
    {"arrived damaged", "CRC-32 differs"},
    {"no CRC-32 came back", "no CRC-32"},
    {"took the flash command as", "echo differs"},
    {"blocks programmed for", "blocks missing"},
    {"reported errors", "programming errors"},
    {"timeout reading from port", "programming watch time-out"},
    {"port_getpmon timed out", "no prompt"},
};

std::string ending_of(const std::string& err) {
    const size_t at = err.rfind("\nError");
    if (at == std::string::npos) return "no error message";
    const std::string message = err.substr(at + 1, err.find('\n', at + 1) - at - 1);
    for (const auto& e : ENDINGS)
        if (message.find(e.needle) != std::string::npos) return e.label;
    return message;
}

int env_number(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text != nullptr ? std::atoi(text) : fallback;
}

struct RunRecord {
    int index = 0;
    int kind = 0;
    Outcome outcome = Outcome::wrong;
    long long damaged = 0;
    long long damaged_accepted = 0;
    long long at_monitor = 0;  // packet bytes the monitor read as commands (-1: not reported)
    double seconds = 0;
    std::string ending;  // what ended a failed run
};

// One run in a directory of its own: a fresh flash, the simulator with the
// kind's faults, kelvane flashing a kernel image. Details of a run that breaks
// the verdict go to details_path.
RunRecord campaign_run(int index, int kind_index, const std::string& details_path) {
    const FaultKind& kind = KINDS[kind_index];
    const auto started = std::chrono::steady_clock::now();
    testkit::TempDir dir("kelvane-campaign");
    std::vector<std::string> args{"--flash", dir.file("flash.bin"), "--report", dir.file("report.txt")};
    args.insert(args.end(), kind.args.begin(), kind.args.end());
    args.insert(args.end(), {"--seed", std::to_string(FIRST_SEED + index)});
    SimProcess sim(args, dir.file("sim.log"));
    testkit::write_pattern_file(dir.file("vmlinux"), kind.image_size, static_cast<unsigned>(index));
    const std::string image = testkit::read_file(dir.file("vmlinux"));
    std::vector<std::string> kelvane_args{"-t", dir.path(), "-s", sim.port()};
    if (kind.fast) kelvane_args.insert(kelvane_args.end(), {"-b", "921600"});
    kelvane_args.insert(kelvane_args.end(), {dir.file("vmlinux"), "kernel"});
    const testkit::RunResult run = run_kelvane(kelvane_args, dir.path());
    sim.stop();
    const std::string report = testkit::read_file(dir.file("report.txt"));

    RunRecord r;
    r.index = index;
    r.kind = kind_index;
    r.outcome = judge_run(run.exit_status, testkit::read_file(dir.file("flash.bin")), KERNEL, image);
    r.damaged = report_number(report, "packets", "damaged");
    r.damaged_accepted = report_number(report, "packets", "damaged accepted");
    r.at_monitor = report_number(report, "monitor", "packet bytes");
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (run.exit_status != 0) r.ending = ending_of(run.err);
    const bool breaks_verdict =
        r.outcome == Outcome::wrong ||
        (!kind.whole_dialogue && (r.outcome == Outcome::failed_after_writing || r.at_monitor != 0));
    if (breaks_verdict) {
        std::ofstream details(details_path, std::ios::app);
        details << "run " << index << " (" << kind.name << ", seed " << FIRST_SEED + index
                << "): " << outcome_name(r.outcome) << "\n"
                << run.err << report << "\n";
    }
    return r;
}

// A worker takes every jobs-th run from first on and writes one line per run.
// The kinds a campaign cycles through, first to last.
struct KindRange {
    int first = 0;
    int last = 0;
};

KindRange kind_range() {
    const char* text = std::getenv("QZ4SIM_CAMPAIGN_KIND");
    if (text == nullptr) return {0, KIND_COUNT - 1};
    KindRange range;
    range.first = range.last = std::atoi(text);
    if (const char* dash = std::strchr(text, '-')) range.last = std::atoi(dash + 1);
    return range;
}

void worker(int first, int jobs, int runs, KindRange kinds, const std::string& results, const std::string& details) {
    std::ofstream out(results);
    for (int i = first; i < runs; i += jobs) {
        const int kind = kinds.first + i % (kinds.last - kinds.first + 1);
        RunRecord r;
        try {
            r = campaign_run(i, kind, details);
        } catch (const std::exception& e) {
            r = RunRecord{i, kind, Outcome::wrong, 0, 0, 0, 0, std::string("harness: ") + e.what()};
        }
        out << r.index << ' ' << r.kind << ' ' << static_cast<int>(r.outcome) << ' ' << r.damaged << ' '
            << r.damaged_accepted << ' ' << r.at_monitor << ' ' << r.seconds << ' ' << r.ending << '\n';
        out.flush();
    }
}

std::vector<RunRecord> read_results(const std::string& path) {
    std::vector<RunRecord> records;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        RunRecord r;
        int outcome = 0;
        fields >> r.index >> r.kind >> outcome >> r.damaged >> r.damaged_accepted >> r.at_monitor >> r.seconds;
        r.outcome = static_cast<Outcome>(outcome);
        std::getline(fields >> std::ws, r.ending);
        records.push_back(r);
    }
    return records;
}

struct KindFigures {
    int runs = 0;
    std::map<Outcome, int> outcomes;
    std::map<std::string, int> endings;
    long long damaged = 0;
    long long damaged_accepted = 0;
    long long at_monitor = 0;
};

TEST(E2eCampaign, NoRunEndsWithStatus0UnlessTheFlashHoldsTheImage) {
    const int runs = env_number("QZ4SIM_CAMPAIGN_RUNS", DEFAULT_RUNS);
    const KindRange kinds = kind_range();
    const int jobs = std::max(1, env_number("QZ4SIM_CAMPAIGN_JOBS", DEFAULT_JOBS));
    ASSERT_TRUE(kinds.first >= 0 && kinds.first <= kinds.last && kinds.last < KIND_COUNT);
    testkit::TempDir dir("kelvane-campaign");
    const std::string details = dir.file("details.txt");
    const auto started = std::chrono::steady_clock::now();

    // Workers are processes, so that each starts its simulators and kelvanes
    // as a program of a single thread.
    std::vector<testkit::Child> workers;
    for (int w = 0; w < jobs; ++w) {
        workers.emplace_back([&, w] {
            worker(w, jobs, runs, kinds, dir.file("results." + std::to_string(w)), details);
            return 0;
        });
    }
    std::vector<RunRecord> records;
    for (int w = 0; w < jobs; ++w) {
        EXPECT_EQ(workers[w].wait(), 0) << "worker " << w;
        for (const RunRecord& r : read_results(dir.file("results." + std::to_string(w)))) records.push_back(r);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(static_cast<int>(records.size()), runs);

    std::map<int, KindFigures> figures;
    int wrong = 0;
    int single_fault_runs = 0;
    int single_fault_flashed = 0;
    long long at_monitor = 0;  // without faults on the whole dialogue
    for (const RunRecord& r : records) {
        KindFigures& f = figures[r.kind];
        ++f.runs;
        ++f.outcomes[r.outcome];
        if (!r.ending.empty()) ++f.endings[r.ending];
        f.damaged += r.damaged;
        f.damaged_accepted += r.damaged_accepted;
        f.at_monitor += r.at_monitor;
        wrong += r.outcome == Outcome::wrong;
        if (KINDS[r.kind].single_fault) {
            ++single_fault_runs;
            single_fault_flashed += r.outcome == Outcome::flashed;
        }
        EXPECT_NE(r.outcome, Outcome::wrong) << "run " << r.index << " (" << KINDS[r.kind].name << ")";
        if (!KINDS[r.kind].whole_dialogue) {
            EXPECT_NE(r.outcome, Outcome::failed_after_writing)
                << "run " << r.index << " (" << KINDS[r.kind].name << ")";
            EXPECT_EQ(r.at_monitor, 0) << "run " << r.index << " (" << KINDS[r.kind].name << ")";
            at_monitor += r.at_monitor;
        }
    }
    EXPECT_EQ(testkit::read_file(details), "");

    std::printf("\nfault campaign: %d runs, %d at once, %.0f s\n", runs, jobs, seconds);
    std::printf("  %-42s %5s %8s %9s %9s %6s %8s %8s %8s\n", "fault kind", "runs", "flashed", "failed,", "failed",
                "WRONG", "damaged", "damaged", "bytes at");
    std::printf("  %-42s %5s %8s %9s %9s %6s %8s %8s %8s\n", "", "", "status 0", "untouched", "after", "", "packets",
                "accepted", "monitor");
    for (const auto& [kind, f] : figures) {
        auto count = [&f](Outcome o) { return f.outcomes.count(o) ? f.outcomes.at(o) : 0; };
        std::printf("  %-42s %5d %8d %9d %9d %6d %8lld %8lld %8lld\n", KINDS[kind].name, f.runs,
                    count(Outcome::flashed), count(Outcome::refused_untouched), count(Outcome::failed_after_writing),
                    count(Outcome::wrong), f.damaged, f.damaged_accepted, f.at_monitor);
        for (const auto& [ending, n] : f.endings) std::printf("      %4d ended by %s\n", n, ending.c_str());
    }
    if (single_fault_runs > 0) {
        const double share = double(single_fault_flashed) / single_fault_runs;
        std::printf("single faults of a noisy cable: %d of %d runs flashed (%.1f %%, goal %.0f %%: %s)\n",
                    single_fault_flashed, single_fault_runs, 100 * share, 100 * SUCCESS_GOAL,
                    share >= SUCCESS_GOAL ? "met" : "NOT met");
    }
    std::printf("packet bytes read as commands by the monitor, faults only in the transfer: %lld\n", at_monitor);
    if (wrong == 0)
        std::printf("verdict: no run ends with status 0 unless the flash holds the image\n");
    else
        std::printf("verdict: FAILED, %d runs ended with status 0 without the image in the flash\n%s", wrong,
                    testkit::read_file(details).c_str());
}

}  // namespace

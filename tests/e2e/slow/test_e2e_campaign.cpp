// A seeded fault campaign: many short kelvane runs, each against a fresh
// handheld with one kind of line fault, every run judged by what the flash
// holds. Its verdict: no run ends with status 0 unless the flash holds the
// image. Faults confined to the transfer must moreover never fail a run after
// the flash was written. Faults on the whole dialogue may (a damaged
// "Programming block" line ends the run with status 1 after the monitor
// wrote), and such runs are counted apart.
//
// The summary gives, per kind of fault, how the runs ended, which message
// ended the failed ones, and the damaged packets that the receiver took past
// its 8-bit checksum, every one of which the CRC-32 check has to catch.
//
// QZ4SIM_CAMPAIGN_RUNS sets the number of runs (default 100, three to four minutes
// under the sanitizers on two cores); QZ4SIM_CAMPAIGN_KIND, an index into
// KINDS, restricts the campaign to one kind of fault; QZ4SIM_CAMPAIGN_JOBS runs
// that many at once (default 4), each in a worker process of its own: a run
// mostly waits for the line (a run takes about half a core-second per four
// seconds), so four share two cores well.
#include "e2e/e2e_run.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace {

constexpr uint32_t KERNEL = 0;
constexpr long long IMAGE_SIZE = 4196;  // 33 packets, the last one partly filler
constexpr int DEFAULT_RUNS = 100;
constexpr int DEFAULT_JOBS = 4;
constexpr int FIRST_SEED = 1000;

struct FaultKind {
    const char* name;
    std::vector<std::string> args;
    bool whole_dialogue;  // faults outside the transfer too
};

// Probabilities put about one fault into each run. On the whole dialogue most
// bytes are the loader's S-records, so most faults end the upload.
const FaultKind KINDS[] = {
    {"corruption bursts of 4 bytes", {"--rx-corrupt", "0.0005", "--burst", "4"}, false},
    {"single corrupted bytes", {"--rx-corrupt", "0.0005"}, false},
    {"noise toward the handheld", {"--rx-noise", "0.0005"}, false},
    {"corrupted or extra bytes toward the host", {"--tx-corrupt", "0.01", "--tx-noise", "0.01"}, false},
    {"lost bytes", {"--rx-drop", "0.0002"}, false},
    {"two data bytes swapped (sum kept)", {"--rx-swap", "0.05"}, false},
    {"dialogue: single corrupted bytes", {"--faults-everywhere", "--rx-corrupt", "0.0001"}, true},
    {"dialogue: lost bytes", {"--faults-everywhere", "--rx-drop", "0.0001"}, true},
    {"dialogue: noise toward the handheld", {"--faults-everywhere", "--rx-noise", "0.0001"}, true},
    {"dialogue: damage toward the host", {"--faults-everywhere", "--tx-corrupt", "0.0005", "--tx-noise", "0.0005"},
     true},
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

std::string ending_of(const std::string& err)
{
    const size_t at = err.rfind("\nError");
    if (at == std::string::npos) return "no error message";
    const std::string message = err.substr(at + 1, err.find('\n', at + 1) - at - 1);
    for (const auto& e : ENDINGS)
        if (message.find(e.needle) != std::string::npos) return e.label;
    return message;
}

int env_number(const char* name, int fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr ? std::atoi(text) : fallback;
}

struct RunRecord {
    int index = 0;
    int kind = 0;
    Outcome outcome = Outcome::wrong;
    long long damaged = 0;
    long long damaged_accepted = 0;
    double seconds = 0;
    std::string ending;  // what ended a failed run
};

// One run in a directory of its own: a fresh flash, the simulator with the
// kind's faults, kelvane flashing a kernel image. Details of a run that breaks
// the verdict go to details_path.
RunRecord campaign_run(int index, int kind_index, const std::string& details_path)
{
    const FaultKind& kind = KINDS[kind_index];
    const auto started = std::chrono::steady_clock::now();
    testkit::TempDir dir("kelvane-campaign");
    std::vector<std::string> args{"--flash", dir.file("flash.bin"), "--report", dir.file("report.txt")};
    args.insert(args.end(), kind.args.begin(), kind.args.end());
    args.insert(args.end(), {"--seed", std::to_string(FIRST_SEED + index)});
    SimProcess sim(args, dir.file("sim.log"));
    testkit::write_pattern_file(dir.file("vmlinux"), IMAGE_SIZE, static_cast<unsigned>(index));
    const std::string image = testkit::read_file(dir.file("vmlinux"));
    const testkit::RunResult run =
        run_kelvane({"-t", dir.path(), "-s", sim.port(), dir.file("vmlinux"), "kernel"}, dir.path());
    sim.stop();
    const std::string report = testkit::read_file(dir.file("report.txt"));

    RunRecord r;
    r.index = index;
    r.kind = kind_index;
    r.outcome = judge_run(run.exit_status, testkit::read_file(dir.file("flash.bin")), KERNEL, image);
    r.damaged = report_number(report, "packets", "damaged");
    r.damaged_accepted = report_number(report, "packets", "damaged accepted");
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (run.exit_status != 0) r.ending = ending_of(run.err);
    const bool breaks_verdict =
        r.outcome == Outcome::wrong || (r.outcome == Outcome::failed_after_writing && !kind.whole_dialogue);
    if (breaks_verdict) {
        std::ofstream details(details_path, std::ios::app);
        details << "run " << index << " (" << kind.name << ", seed " << FIRST_SEED + index
                << "): " << outcome_name(r.outcome) << "\n" << run.err << report << "\n";
    }
    return r;
}

// A worker takes every jobs-th run from first on and writes one line per run.
void worker(int first, int jobs, int runs, int only_kind, const std::string& results, const std::string& details)
{
    std::ofstream out(results);
    for (int i = first; i < runs; i += jobs) {
        const int kind = only_kind >= 0 ? only_kind : i % KIND_COUNT;
        RunRecord r;
        try {
            r = campaign_run(i, kind, details);
        } catch (const std::exception& e) {
            r = RunRecord{i, kind, Outcome::wrong, 0, 0, 0, std::string("harness: ") + e.what()};
        }
        out << r.index << ' ' << r.kind << ' ' << static_cast<int>(r.outcome) << ' ' << r.damaged << ' '
            << r.damaged_accepted << ' ' << r.seconds << ' ' << r.ending << '\n';
        out.flush();
    }
}

std::vector<RunRecord> read_results(const std::string& path)
{
    std::vector<RunRecord> records;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        RunRecord r;
        int outcome = 0;
        fields >> r.index >> r.kind >> outcome >> r.damaged >> r.damaged_accepted >> r.seconds;
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
};

TEST(E2eCampaign, NoRunEndsWithStatus0UnlessTheFlashHoldsTheImage)
{
    const int runs = env_number("QZ4SIM_CAMPAIGN_RUNS", DEFAULT_RUNS);
    const int only_kind = env_number("QZ4SIM_CAMPAIGN_KIND", -1);
    const int jobs = std::max(1, env_number("QZ4SIM_CAMPAIGN_JOBS", DEFAULT_JOBS));
    ASSERT_LT(only_kind, KIND_COUNT);
    testkit::TempDir dir("kelvane-campaign");
    const std::string details = dir.file("details.txt");
    const auto started = std::chrono::steady_clock::now();

    // Workers are processes, so that each starts its simulators and kelvanes
    // as a program of a single thread.
    std::vector<testkit::Child> workers;
    for (int w = 0; w < jobs; ++w) {
        workers.emplace_back([&, w] {
            worker(w, jobs, runs, only_kind, dir.file("results." + std::to_string(w)), details);
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
    for (const RunRecord& r : records) {
        KindFigures& f = figures[r.kind];
        ++f.runs;
        ++f.outcomes[r.outcome];
        if (!r.ending.empty()) ++f.endings[r.ending];
        f.damaged += r.damaged;
        f.damaged_accepted += r.damaged_accepted;
        wrong += r.outcome == Outcome::wrong;
        EXPECT_NE(r.outcome, Outcome::wrong) << "run " << r.index << " (" << KINDS[r.kind].name << ")";
        if (!KINDS[r.kind].whole_dialogue) {
            EXPECT_NE(r.outcome, Outcome::failed_after_writing) << "run " << r.index << " (" << KINDS[r.kind].name << ")";
        }
    }
    EXPECT_EQ(testkit::read_file(details), "");

    std::printf("\nfault campaign: %d runs of a %lld-byte kernel, %d at once, %.0f s\n", runs, IMAGE_SIZE, jobs,
                seconds);
    std::printf("  %-42s %5s %8s %9s %9s %6s %8s %8s\n", "fault kind", "runs", "flashed", "failed,", "failed", "WRONG",
                "damaged", "damaged");
    std::printf("  %-42s %5s %8s %9s %9s %6s %8s %8s\n", "", "", "status 0", "untouched", "after", "", "packets",
                "accepted");
    for (const auto& [kind, f] : figures) {
        auto count = [&f](Outcome o) { return f.outcomes.count(o) ? f.outcomes.at(o) : 0; };
        std::printf("  %-42s %5d %8d %9d %9d %6d %8lld %8lld\n", KINDS[kind].name, f.runs, count(Outcome::flashed),
                    count(Outcome::refused_untouched), count(Outcome::failed_after_writing), count(Outcome::wrong),
                    f.damaged, f.damaged_accepted);
        for (const auto& [ending, n] : f.endings) std::printf("      %4d ended by %s\n", n, ending.c_str());
    }
    if (wrong == 0)
        std::printf("verdict: no run ends with status 0 unless the flash holds the image\n");
    else
        std::printf("verdict: FAILED, %d runs ended with status 0 without the image in the flash\n%s", wrong,
                    testkit::read_file(details).c_str());
}

}  // namespace

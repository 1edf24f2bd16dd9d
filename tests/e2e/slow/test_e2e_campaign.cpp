// A seeded fault campaign: many short kelvane runs, each against a fresh
// handheld with one kind of line fault, every run judged by what the flash
// holds. Any run that leaves wrong data with exit status 0, other than through
// the XMODEM checksum's own blind spot, fails the campaign. The summary gives
// how the runs ended and how many damaged packets the receiver accepted,
// next to the 1 in 256 that an 8-bit checksum lets through.
//
// QZ4SIM_CAMPAIGN_RUNS sets the number of runs (default 50); QZ4SIM_CAMPAIGN_KIND,
// an index into KINDS, restricts the campaign to one kind of fault.
#include "e2e/e2e_run.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

namespace {

constexpr uint32_t KERNEL = 0;
constexpr long long IMAGE_SIZE = 4196;  // 33 packets, the last one partly filler
constexpr int DEFAULT_RUNS = 50;  // about four minutes under the sanitizers

struct FaultKind {
    const char* name;
    std::vector<std::string> args;
};

// Probabilities put about one fault into each run.
const FaultKind KINDS[] = {
    {"corruption bursts of 4 bytes", {"--rx-corrupt", "0.0005", "--burst", "4"}},
    {"single corrupted bytes", {"--rx-corrupt", "0.0005"}},
    {"noise toward the handheld", {"--rx-noise", "0.0005"}},
    {"corrupted or extra bytes toward the host", {"--tx-corrupt", "0.01", "--tx-noise", "0.01"}},
    {"lost bytes", {"--rx-drop", "0.0002"}},
};

using E2eCampaign = EndToEnd;

TEST_F(E2eCampaign, NoFaultedRunLeavesWrongDataBehindExceptThroughTheChecksumsBlindSpot)
{
    const char* env = std::getenv("QZ4SIM_CAMPAIGN_RUNS");
    const int runs = env != nullptr ? std::atoi(env) : DEFAULT_RUNS;
    const char* only = std::getenv("QZ4SIM_CAMPAIGN_KIND");
    const int kind_count = static_cast<int>(std::size(KINDS));
    const int only_kind = only != nullptr ? std::atoi(only) : -1;
    ASSERT_LT(only_kind, kind_count);
    std::map<std::string, std::map<Outcome, int>> table;
    std::map<std::string, std::pair<long long, long long>> packets;  // damaged, of which accepted
    long long damaged = 0, damaged_accepted = 0;
    for (int i = 0; i < runs; ++i) {
        const FaultKind& kind = KINDS[only_kind >= 0 ? only_kind : i % kind_count];
        std::vector<std::string> args = kind.args;
        args.insert(args.end(), {"--seed", std::to_string(1000 + i)});
        std::filesystem::remove(dir.file("flash.bin"));
        start_sim(args);
        const std::string image = make_image("vmlinux", IMAGE_SIZE, static_cast<unsigned>(i));
        const testkit::RunResult run = kelvane({dir.file("vmlinux"), "kernel"});
        const std::string report = stop_sim();
        const Outcome outcome = judge_run(run.exit_status, flash(), KERNEL, image, report);
        ++table[kind.name][outcome];
        const long long d = report_number(report, "packets", "damaged");
        const long long a = report_number(report, "packets", "damaged accepted");
        packets[kind.name].first += d;
        packets[kind.name].second += a;
        damaged += d;
        damaged_accepted += a;
        EXPECT_NE(outcome, Outcome::wrong) << "run " << i << " (" << kind.name << ", seed " << 1000 + i << ")\n"
                                           << run.err << report;
    }

    std::printf("\nfault campaign: %d runs of a %lld-byte kernel\n", runs, IMAGE_SIZE);
    for (const auto& [kind, outcomes] : table) {
        std::printf("  %-42s", kind.c_str());
        for (const auto& [outcome, count] : outcomes) std::printf("  %d %s;", count, outcome_name(outcome));
        std::printf("  damaged packets %lld, accepted %lld\n", packets[kind].first, packets[kind].second);
    }
    // A single changed byte always changes the sum, so those packets never pass.
    std::printf("  damaged packets answered by the receiver: %lld, accepted: %lld (at most about %.2f at 1/256)\n",
                damaged, damaged_accepted, damaged / 256.0);
}

}  // namespace

#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang, AddressSanitizer and UBSan,
# and runs each for a bounded time from its seeds.
#   scripts/fuzz.sh [SECONDS]   each target for SECONDS (default 60)
# A crash, a sanitizer report or a broken promise of a parser ends the script
# with a non-zero status; the input that did it is kept as
# build-fuzz/artifacts/<target>-crash-<hash>, and can be replayed with
# build-fuzz/<target> <that file>. What the fuzzers add to their corpus stays in
# build-fuzz/corpus/ for the next run on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
bash scripts/install-deps.sh

build=build-fuzz
cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$build/artifacts"
for target in fuzz_offset fuzz_monitor_lines fuzz_line_reader fuzz_stream_answers fuzz_srecord; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  echo "fuzz.sh: $target for ${seconds} s" >&2
  # New inputs go to the first directory; the committed seeds are only read.
  "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$target-" "$corpus" "fuzz/seeds/$target" 2> "$build/$target.log" || {
    tail -n 60 "$build/$target.log" >&2
    echo "fuzz.sh: $target FAILED (log: $build/$target.log)" >&2
    exit 1
  }
  grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' "$build/$target.log" >&2 || true
done
echo "fuzz.sh: every target ran ${seconds} s without a finding" >&2

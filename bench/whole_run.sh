#!/usr/bin/env bash
# Benchmark: whole runs of kelvane against the protocol's floor. Each run
# starts a fresh simulated handheld paced at 115200 bit/s, uploads the loader,
# sends an image of --size bytes (default 1 MiB) and flashes it to the romdisk;
# its wall time (kelvane's start to its end) is set against the floor: the
# quiet times the dialogue must wait (bench/common.sh) plus the line time of
# every byte that crossed, both ways, one after the other (from the
# simulator's line counters). Prints one Markdown table; logs stay in
# build-bench/whole-run-results/. About 105 s a run at 1 MiB.
#
#   bash bench/whole_run.sh [--size BYTES] [--repeats N]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

size=1048576
repeats=3
bench_options "size repeats" "$@"

bench_build
bench_session whole-run-results
"$qz4sim" --make-image "$work/image.img" "$size" 2

quiet=$(awk -v a="$QUIET_JOB" -v b="$QUIET_UPLOAD" 'BEGIN { print a + b }')
echo "Whole runs of $size bytes with the loader upload, $(date -u '+%Y-%m-%d %H:%M UTC'), $(machine), load average $(load_average) before"
echo
echo "| run | wall (s) | quiet times (s) | bytes on the line | line time (s) | floor (s) | floor / wall |"
echo "|---|---|---|---|---|---|---|"
for r in $(seq "$repeats"); do
    bench_start_sim "$out/sim-$r.log"
    start=$(now)
    if ! "$kelvane" -s "$port" "$work/image.img" romdisk 2>"$out/kelvane-$r.log"; then
        echo "bench: kelvane failed (run $r); see $out/kelvane-$r.log" >&2
        exit 1
    fi
    wall=$(seconds_since "$start")
    bytes=$(fresh_report | tee "$out/report-$r.txt" | line_bytes)
    bench_stop_sim
    awk -v r="$r" -v w="$wall" -v q="$quiet" -v n="$bytes" -v b="$BENCH_BAUD" 'BEGIN {
        line = n * 10 / b; floor = q + line
        printf "| %d | %.3f | %.1f | %d | %.3f | %.3f | %.4f |\n", r, w, q, n, line, floor, floor / w }'
done
echo
echo "Load average after: $(load_average)"

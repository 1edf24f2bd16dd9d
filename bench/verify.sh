#!/usr/bin/env bash
# What -V costs: the same image (7 MiB by default, a romdisk split in two
# pieces) flashed by kelvane without and with -V, against one simulated
# handheld paced at 115200 bit/s. Prints a Markdown table: the wall time of
# each whole run, the time of each "Verifying flash..." step as kelvane's
# standard error shows it (announcement to "done"), and the run time of each
# verify program on the handheld from the simulator's report. Raw logs stay in
# build-bench/verify-results/.
#
#   bash bench/verify.sh [--size BYTES] [--repeats N]
#
# The simulator runs the loader's CRC loop at the emulator's speed, far above
# the handheld's, so the figures show the cost of the exchange and of the
# extra dialogue; the README gives an estimate of the loop on the handheld.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

size=7340032
repeats=1
bench_options "size repeats" "$@"

bench_build

bench_session verify-results

"$qz4sim" --make-image "$work/rootfs.img" "$size" 7
bench_start_sim "$out/sim.log"

# Seconds of the verify programs (they accept no packets) in a report.
verify_program_seconds() { sed -n 's/^program run: 0 packets accepted, \([0-9.]*\) s$/\1/p' | paste -sd' '; }

echo "Image: $size bytes to romdisk (split in two pieces), line paced at 115200 bit/s."
echo "Load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| run | -V | wall (s) | -V steps, host (s) | verify programs, handheld (s) | load after |"
echo "|---|---|---|---|---|---|"
for r in $(seq "$repeats"); do
    for verify in no yes; do
        label="$verify-$r"
        flag=()
        [ "$verify" = yes ] && flag=(-V)
        start=$(date +%s.%N)
        if ! steps=$(timed_kelvane "Verifying flash..." "$out/kelvane-$label.log" -s "$port" "${flag[@]}" "$work/rootfs.img" romdisk); then
            echo "bench: kelvane failed ($label); see $out/kelvane-$label.log" >&2
            exit 1
        fi
        end=$(date +%s.%N)
        fresh_report >"$out/report-$label.txt"
        # The report adds up over the session: take this run's programs only.
        programs=""
        [ "$verify" = yes ] && programs=$(verify_program_seconds <"$out/report-$label.txt" | awk -v r="$r" '{ print $(2*r-1), $(2*r) }')
        echo "| $r | $verify | $(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", e - s }') | $(echo $steps) | $programs | $(cut -d' ' -f1-3 /proc/loadavg) |"
    done
done

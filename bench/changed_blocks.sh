#!/usr/bin/env bash
# What -u saves and what it costs: a root filesystem (7 MiB by default, a
# romdisk split in two pieces of 40 and 16 blocks) flashed against a simulated
# handheld paced at 115200 bit/s, the transfers on the fast line at 921600
# (-b), each flash block programmed in 1 s (--block-ms 1000) and the handheld's
# bytes reaching the host through a USB adapter's 1 ms latency timer. Rows:
#   whole        the image onto an erased flash, without -u
#   whole -u     the same with -u (every digest differs): what -u costs
#   changed      an image with one 128 KiB block changed, without -u
#   changed -u   the same change with -u: only the block that differs is sent
# Each row gives the wall time of the run, its ratio to "whole" of the same
# round and the load average after it (the machine is shared: compare the
# ratios, not the seconds); with -u also each "Reading flash block
# digests..." step as kelvane's standard error shows it (announcement to
# "done"): the request and the digest pass, whose lines cannot reach the host
# before the handheld's modelled time (its CPU at --cpu-mhz, its flash reads
# at --flash-read-ns).
# Raw logs stay in build-bench/changed-blocks-results/.
#
#   bash bench/changed_blocks.sh [--size BYTES] [--repeats N]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

FAST=921600
BLOCK=131072
size=7340032
repeats=1
bench_options "size repeats" "$@"
CHANGED_BLOCK=$((size / BLOCK / 3))  # inside the image (and inside the first piece of a split)

bench_build

bench_session changed-blocks-results

"$qz4sim" --make-image "$work/rootfs.img" "$size" 7
cp "$work/rootfs.img" "$work/changed.img"
printf '\x5a\xa5' | dd of="$work/changed.img" bs=1 seek=$((CHANGED_BLOCK * BLOCK + 4096)) conv=notrunc status=none

start_paced_sim() {
    bench_start_sim "$out/sim-$1.log" --block-ms 1000 --adapter-latency 1
}

# row LABEL IMAGE [SWITCHES...]: one kelvane run; prints "seconds|digest steps|load".
row() {
    local label=$1 image=$2
    shift 2
    local start seconds steps
    start=$(now)
    if ! steps=$(timed_kelvane "Reading flash block digests..." "$out/kelvane-$label.log" -t "$work" -s "$port" -b "$FAST" "$@" "$image" romdisk); then
        echo "bench: kelvane failed ($label); see $out/kelvane-$label.log" >&2
        exit 1
    fi
    seconds=$(seconds_since "$start")
    echo "$seconds|$(echo $steps)|$(load_average)"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

echo "Image: $size bytes to romdisk, line paced at 115200 bit/s, transfers at $FAST (-b),"
echo "--block-ms 1000, --adapter-latency 1. Machine: $(machine)."
echo "Load average before: $(load_average)"
echo
echo "| round | run | wall (s) | ratio to whole | digest steps, host (s) | load after |"
echo "|---|---|---|---|---|---|"
for r in $(seq "$repeats"); do
    # The flash persists across runs of one simulator: whole leaves the image,
    # changed writes the changed one over it, and changed -u puts the original
    # back over that, so that exactly one block differs each time.
    start_paced_sim "$r-a"
    result=$(row "$r-whole" "$work/rootfs.img")
    IFS='|' read -r whole _ load <<<"$result"
    echo "| $r | whole | $whole | 1.000 | | $load |"
    result=$(row "$r-changed" "$work/changed.img")
    IFS='|' read -r changed _ load <<<"$result"
    echo "| $r | changed | $changed | $(ratio "$changed" "$whole") | | $load |"
    result=$(row "$r-changed-u" "$work/rootfs.img" -u)
    IFS='|' read -r changed_u digests load <<<"$result"
    echo "| $r | changed -u | $changed_u | $(ratio "$changed_u" "$whole") | $digests | $load |"
    bench_stop_sim
    start_paced_sim "$r-b"
    result=$(row "$r-whole-u" "$work/rootfs.img" -u)
    IFS='|' read -r whole_u digests load <<<"$result"
    echo "| $r | whole -u | $whole_u | $(ratio "$whole_u" "$whole") | $digests | $load |"
    bench_stop_sim
done

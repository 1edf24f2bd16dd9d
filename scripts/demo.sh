#!/usr/bin/env bash
# The main job in one command: installs what is needed, builds, starts the
# simulated handheld (qz4sim), has kelvane flash a sample kernel and a sample
# root filesystem image large enough to be split, and checks the simulated
# flash byte for byte against both images. Exit status 0 when they match.
#
# The simulator runs unpaced here (the line moves as fast as the pseudo-terminal
# does), so the flashing takes seconds. Arguments go to qz4sim: for the real
# line's pace run `bash scripts/demo.sh --baud 115200` (about 12 minutes).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/qz4sim-port.sh

KERNEL_SIZE=$((0xF4240))      # 1,000,000 bytes, not a whole number of packets
ROOTFS_SIZE=$((0x680000))     # above the 0x670000 a transfer carries: split in two
KERNEL_OFFSET=0
ROOTFS_OFFSET=$((0x200000))

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target kelvane qz4sim >/dev/null
kelvane=build/src/kelvane
qz4sim=build/sim/qz4sim

qz4sim_session

"$qz4sim" --make-image "$work/vmlinux.bin" "$KERNEL_SIZE" 1
"$qz4sim" --make-image "$work/rootfs.img" "$ROOTFS_SIZE" 2

"$qz4sim" --flash "$work/flash.bin" --report "$work/report.txt" "$@" >"$work/sim.env" 2>"$work/sim.log" &
sim_pid=$!
QZ4SIM_PORT=$(qz4sim_port "$work/sim.env")
[ -n "$QZ4SIM_PORT" ] || { echo "demo: the simulated handheld did not start" >&2; cat "$work/sim.log" >&2; exit 1; }
echo "demo: simulated handheld on /dev/$QZ4SIM_PORT" >&2

start=$(date +%s.%N)
status=0
"$kelvane" -t "$work" -s "$QZ4SIM_PORT" "$work/vmlinux.bin" kernel "$work/rootfs.img" romdisk || status=$?
seconds=$(echo "$start $(date +%s.%N)" | awk '{printf "%.1f", $2 - $1}')

kill -TERM "$sim_pid"
wait "$sim_pid" || true
sim_pid=""
sed -n '/^programmed:/p' "$work/report.txt" >&2

verdict=0
[ "$status" -eq 0 ] || { echo "demo: kelvane exited with status $status" >&2; verdict=1; }
"$qz4sim" --flash "$work/flash.bin" --compare "$KERNEL_OFFSET" "$work/vmlinux.bin" || verdict=1
"$qz4sim" --flash "$work/flash.bin" --compare "$ROOTFS_OFFSET" "$work/rootfs.img" || verdict=1
if ls "$work"/rootfs.img.[12] >/dev/null 2>&1; then
    echo "demo: the temporary pieces of the split image were left behind" >&2
    verdict=1
fi

bytes=$((KERNEL_SIZE + ROOTFS_SIZE))
if [ "$verdict" -eq 0 ]; then
    echo "demo: PASS - $bytes bytes (kernel at 0x0, root filesystem split in two at 0x200000) flashed and verified byte for byte in ${seconds} s" >&2
else
    echo "demo: FAIL - the simulated flash does not hold the images" >&2
fi
exit "$verdict"

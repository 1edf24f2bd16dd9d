#!/usr/bin/env bash
# The main job in one command: install, build, and flash sample images.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

# Until the simulated handheld lands: a real pre-flight run on a generated root
# filesystem image large enough to be split, ending at the serial port.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c $((0x700000)) /dev/urandom > "$work/rootfs.img"
./build/src/kelvane -t "$work" -s kelvane-no-such-port "$work/rootfs.img" romdisk || true

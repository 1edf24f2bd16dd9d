#!/usr/bin/env bash
# Builds everything under AddressSanitizer and UBSan and runs every test.
#   scripts/test.sh          all tests, the slow time-out cases included
#   scripts/test.sh --fast   leaves out the tests labelled "slow"
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

build=build-test
cmake -S . -B "$build" -DKELVANE_SANITIZE=ON -DKELVANE_WERROR=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j"$(nproc)"

select=()
[ "${1:-}" = "--fast" ] && select=(-LE slow)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd "$build"
ctest --output-on-failure -j"$(nproc)" "${select[@]}"

#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs the USE IN TESTS example of qz4sim's man page as it stands there, with
# the built qz4sim and kelvane first on PATH, in a scratch directory: the
# example must flash its image and its last comparison must match.
#   man_snippet_test.sh MAN_PAGE QZ4SIM_DIR KELVANE_DIR
set -euo pipefail
man_page=$(realpath "$1")
export PATH="$(realpath "$2"):$(realpath "$3"):$PATH"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The lines between .nf and .fi after the section head, roff escapes undone.
awk '/^\.SH USE IN TESTS/ { in_section = 1 } in_section && /^\.fi/ { exit }
     in_section && printing { print } in_section && /^\.nf/ { printing = 1 }' "$man_page" |
    sed 's/\\-/-/g' >"$work/example.sh"
grep -q 'kelvane' "$work/example.sh" || { echo "FAIL: no example found in $man_page" >&2; exit 1; }
cd "$work"
status=0
timeout 120 bash -e example.sh >log 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    echo "FAIL: the example ended with status $status" >&2
    cat log >&2
    exit 1
fi
grep -q 'equals vmlinux.bin' log || { echo "FAIL: no matching comparison" >&2; cat log >&2; exit 1; }
echo "man page example: flashed and compared"

#!/usr/bin/env bash
# The bash completion of kelvane, through bash itself: each case gives the
# words of a command line and the replies expected for its last word.
set -u
source "$1"

failures=0
expect() {
    local expected=$1; shift
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _kelvane
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd' ')
    if [ "$got" != "$expected" ]; then
        echo "FAIL: '${COMP_WORDS[*]}': expected '$expected', got '$got'" >&2
        failures=$((failures + 1))
    fi
}

registered=$(complete -p kelvane)
[ "$registered" = "complete -o filenames -F _kelvane kelvane" ] || {
    echo "FAIL: complete -p kelvane gave '$registered'" >&2
    failures=$((failures + 1))
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/pieces" "$scratch/pics"
touch "$scratch/rootfs.img"

expect "--help --version -C -D -L -R -V -X -b -h -l -r -s -t -u -v" kelvane -
expect "--help --version" kelvane --
expect "921600" kelvane -b 9
expect "115200" kelvane -b 1
expect "romdisk rootdisk" kelvane -b 921600 rootfs.img ro
expect "-R" kelvane -l -R
expect "romdisk rootdisk" kelvane rootfs.img ro
expect "romdisk rootdisk" kelvane -s ttyS1 -t /tmp rootfs.img ro
expect "kernel" kelvane -l a.img 0x300000 vmlinux k
expect "cramfs" kelvane -r vmlinux kernel cram.img c
expect "$scratch/pics $scratch/pieces" kelvane -t "$scratch/pi"
expect "$scratch/rootfs.img" kelvane -r "$scratch/ro"
expect "$scratch/rootfs.img" kelvane -s ttyS1 a.img romdisk "$scratch/ro"

[ "$failures" -eq 0 ] && echo "completion: all cases pass"
exit "$failures"

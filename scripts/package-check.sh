#!/usr/bin/env bash
# Builds the Debian source package and the packages kelvane and qz4sim from a
# copy of this tree the Debian way (dpkg-buildpackage, Debian's own build
# flags, the fast tests), runs lintian on them, installs them with apt from
# the built files, and uses what was installed: kelvane's banner, its man
# page, the README, and one flash through the installed qz4sim. Needs root
# (apt); prints the packages' file lists and sizes.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/qz4sim-port.sh
bash scripts/install-deps.sh

qz4sim_session
chmod 755 "$work"  # the package's tests run some programs as the user nobody

mkdir "$work/src"
tar --exclude='./build*' --exclude='./obj-*' --exclude='./.git' -cf - . | tar -xf - -C "$work/src"
# What a developer's tree holds beside the source: a build tree and version
# control. The source package must leave both out (debian/source/options).
mkdir "$work/src/build-left" "$work/src/.git"
touch "$work/src/build-left/CMakeCache.txt" "$work/src/.git/HEAD"
# The source package too: dpkg-source refuses a version that does not fit its format.
(cd "$work/src" && dpkg-buildpackage -us -uc -j"$(nproc)")
ls "$work"/kelvane_*.dsc
packed=$(tar -tf "$work"/kelvane_*.tar.*)
if grep -E '^[^/]+/(build-left|\.git)(/|$)' <<<"$packed"; then
    echo "package-check: the source package holds a build tree or version control" >&2
    exit 1
fi
grep -q '^[^/]*/debian/source/options$' <<<"$packed"

# Lintian's verdict on the source and both packages: nothing but the
# maintainer's address, which stays at localhost until the project has a list.
lintian --version
if ! lintian --fail-on error,warning --suppress-tags bogus-mail-host,bogus-mail-host-in-debian-changelog \
        --display-info "$work"/kelvane_*.changes; then
    echo "package-check: lintian found more than the maintainer's address" >&2
    exit 1
fi

for deb in "$work"/*.deb; do
    echo "== $(basename "$deb") ($(stat -c %s "$deb") bytes)"
    dpkg-deb -f "$deb" Depends Installed-Size
    dpkg-deb -c "$deb" | awk '{print $3, $6}'
done

apt-get install -y "$work"/kelvane_*.deb "$work"/qz4sim_*.deb

# -v shows the banner and the usage, and ends with status 1 as -h does.
banner=$(kelvane -v 2>&1 || true)
grep -q '^ kelvane:  0.24 - 2002/10/30' <<<"$banner" || { echo "package-check: kelvane -v: $banner" >&2; exit 1; }
for page in kelvane qz4sim; do
    man -l "/usr/share/man/man1/$page.1.gz" >"$work/$page.man" 2>&1
    grep -q '^SYNOPSIS' "$work/$page.man" ||
        { echo "package-check: the installed man page of $page does not read" >&2; cat "$work/$page.man" >&2; exit 1; }
done
[ -f /usr/share/bash-completion/completions/kelvane ]
# The failure guide is on the user's system.
grep -q '^\*\*When a run fails\.\*\*' /usr/share/doc/kelvane/README.md
# --help and --version answer on standard output with status 0.
kelvane --version | grep -q '^kelvane:  0.24'
kelvane --help | grep -q -- '-L'

qz4sim --make-image "$work/vmlinux.bin" 300000 5
qz4sim --flash "$work/flash.bin" >"$work/sim.env" 2>"$work/sim.log" &
sim_pid=$!
port=$(qz4sim_port "$work/sim.env")
[ -n "$port" ] || { echo "package-check: qz4sim did not start" >&2; cat "$work/sim.log" >&2; exit 1; }
kelvane -s "$port" "$work/vmlinux.bin" kernel
kill -TERM "$sim_pid"; wait "$sim_pid" || true; sim_pid=""
qz4sim --flash "$work/flash.bin" --compare 0 "$work/vmlinux.bin"
echo "package-check: PASS - packages built, installed, and a kernel flashed through the installed qz4sim"

#!/usr/bin/env bash
# Installs what kelvane, its loader, the simulated handheld and the tests need,
# from Debian's packages. Skips apt when everything is already there.
set -euo pipefail

packages=(cmake make g++ pkg-config libgtest-dev libgmock-dev zlib1g-dev
          gcc-mipsel-linux-gnu binutils-mipsel-linux-gnu libunicorn-dev lrzsz time
          # the fuzz targets: clang, whose libFuzzer comes in libclang-rt-14-dev on Debian 12
          clang libclang-rt-14-dev
          # the Debian packages: build, install and read them
          dpkg-dev debhelper fakeroot man-db lintian)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"

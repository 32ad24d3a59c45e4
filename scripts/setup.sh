#!/usr/bin/env bash
# Installs what the builds and tests need on Debian 12, as root. Idempotent, and quick when
# everything is already there.
set -euo pipefail

need=(cmake g++ make googletest libgtest-dev libbenchmark-dev python3
      g++-mingw-w64-i686 wine wine32:i386 wine64 fonts-wine xvfb xauth imagemagick
      clang-14 libclang-rt-14-dev liburing-dev pkg-config libhivex-dev libhivex-bin
      ansible-core dpkg-dev file man-db zip unzip openssh-client ntfs-3g lintian)

missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

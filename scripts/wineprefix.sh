#!/usr/bin/env bash
# Usage: scripts/wineprefix.sh PREFIX
# Makes (or reuses) a 32-bit Wine prefix for the tests: fonts copied in, Wine draws its own
# captions, the Z: mapping of the whole Linux file system removed, the server kept up, and the
# test programs that play older systems set to them.
set -euo pipefail
prefix=$1
. "$(dirname "$0")/wine-env.sh" "$prefix"
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w
  mkdir -p "$prefix/drive_c/windows/Fonts"
  cp -n /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
  wineserver -w
fi
rm -f "$prefix/dosdevices/z:"
wineserver -p 2>/dev/null || true   # already up when an earlier step of this run started it
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
# Test programs that play older systems: Wine's per-program version.
for program in test_win98.exe:win98 test_nt4.exe:nt40; do
  wine reg add "HKCU\\Software\\Wine\\AppDefaults\\${program%:*}" /v Version /d "${program#*:}" /f \
    </dev/null >/dev/null 2>&1
done

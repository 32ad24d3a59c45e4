#!/usr/bin/env bash
# Usage: scripts/wineprefix.sh PREFIX
# Makes (or reuses) a 32-bit Wine prefix for the tests: fonts copied in, Wine draws its own
# captions, nothing of the host within reach (no Z: drive, no "/" in the shell namespace, no
# user folder linked into the host's home), the server kept up, and the test programs that play
# older systems set to them.
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
# Nothing else of the host either: the user's folders, which Wine links into the host's home,
# become empty folders of the prefix, and the shell namespace loses "/", the host's file system
# (chosen in the folder browser, it makes the target \\?\unix\).
find "$prefix/drive_c/users" -type l -lname '/*' | while read -r link; do
  rm -f "$link" && mkdir -p "$link"
done
wineserver -p 2>/dev/null || true   # already up when an earlier step of this run started it
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
wine reg delete 'HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\Desktop\Namespace\{9D20AAE8-0625-44B0-9CA7-71889C2254D9}' \
  /f </dev/null >/dev/null 2>&1 || true
# Test programs that play older systems: Wine's per-program version.
for program in test_win98.exe:win98 test_nt4.exe:nt40; do
  wine reg add "HKCU\\Software\\Wine\\AppDefaults\\${program%:*}" /v Version /d "${program#*:}" /f \
    </dev/null >/dev/null 2>&1
done

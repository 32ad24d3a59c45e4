#!/usr/bin/env bash
# Builds the release (scripts/release.sh) twice, from this checkout and from a copy of it in
# another folder, and checks it:
# - reproducible: korvane.exe, krvscan.exe and the native krvscan of both builds are the same
#   bytes (their SHA-256 sums are printed);
# - the Debian package: installs with dpkg -i into a root of its own (whose package database
#   holds this system's records of the packages it depends on, so that the system itself is
#   not touched and other runs are not in the way), names a package in Depends for
#   every shared library krvscan needs, answers `krvscan --version` with its own version and
#   `man -w krvscan`, installs every page that the manual page's SEE ALSO names, each link of
#   its documentation finding its page, and removes without a trace; lintian finds no error in
#   it;
# - the archive: holds exactly the programs, the fleet's two scripts and its summary, README.txt
#   and SHA256SUMS, which covers every other file and matches; its text files end their lines
#   with CR LF, README.txt is plain ASCII, and none names a page the archive does not hold.
# Exits non-zero on the first check that fails. Works in build/release-check.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$root/build/release-check
version=$(sed -n 's/^project(korvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
fail() { echo "release check: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work/elsewhere/source"
KRV_RELEASE_BUILD=$root/build/release bash scripts/release.sh "$work/dist"
# The second build: the same files (those git tracks or would track, as they are now), at
# another path, built in another folder.
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done |
  tar --null -T - -c | tar -x -C "$work/elsewhere/source"
(cd "$work/elsewhere/source" &&
 KRV_RELEASE_BUILD=$work/elsewhere/build bash scripts/release.sh "$work/elsewhere/dist") >/dev/null

echo "== reproducible: the programs of two builds in two folders"
for program in win32/app/korvane.exe win32/app/krvscan.exe native/app/krvscan; do
  first=$root/build/release/$program
  second=$work/elsewhere/build/$program
  sha256sum "$first" "$second" | sed "s|  $root/|  |"
  cmp "$first" "$second" || fail "$program differs between the two builds"
done
# The packaged program too, as CPack strips it.
for dist in "$work/dist" "$work/elsewhere/dist"; do
  dpkg-deb --fsys-tarfile "$dist"/krvscan_*.deb | tar -xO ./usr/bin/krvscan | sha256sum |
    sed 's|-$|/usr/bin/krvscan of the packages|'
done | uniq | tee "$work/packaged.sums"
[ "$(wc -l < "$work/packaged.sums")" -eq 1 ] || fail "the packaged krvscan differs between the two builds"

echo "== the Debian package"
arch=$(dpkg --print-architecture)
deb=$work/dist/krvscan_${version}_$arch.deb
[ -f "$deb" ] || fail "no package $deb"
dpkg-deb -f "$deb" Package Version Depends
depends=$(dpkg-deb -f "$deb" Depends)
# --windows-root loads the registry library only when asked for: recommended, not required.
[[ $(dpkg-deb -f "$deb" Recommends) =~ (^|,\ )libhivex0(\ |,|$) ]] ||
  fail "the package does not recommend libhivex0, which --windows-root loads"
# Every library krvscan needs comes from a package that Depends names.
for soname in $(objdump -p "$root/build/release/native/app/krvscan" | awk '$1 == "NEEDED" {print $2}'); do
  path=$(ldconfig -p | awk -v so="$soname" '$1 == so && /x86-64/ && !found {print $NF; found = 1}')
  [ -n "$path" ] || fail "$soname not found by ldconfig"
  owner=$(dpkg -S "$(realpath "$path")" 2>/dev/null || dpkg -S "$path") ||
    fail "no package owns $path"
  owner=${owner%%:*}
  [[ $depends =~ (^|,\ )"$owner"(\ |,|$) ]] || fail "$soname ($owner) is not in Depends: $depends"
done
# The root's package database knows the packages of Depends, as this system has them.
target=$work/root
admin=$target/var/lib/dpkg
mkdir -p "$admin/updates" "$admin/info"
touch "$admin/status" "$admin/available"
for package in $(echo "$depends" | sed 's/([^)]*)//g; s/|/,/g; s/,/ /g'); do
  dpkg-query -s "$package:$arch" >/dev/null 2>&1 && package=$package:$arch
  { dpkg-query -s "$package"; echo; } >> "$admin/status"
  touch "$admin/info/$(dpkg-query -W -f='${binary:Package}' "$package").list"
done
# Everything the package holds, even where this system's dpkg leaves manual pages out.
dpkg=(dpkg --root="$target" --log=/dev/null --path-include='/*')
[ "$(id -u)" -eq 0 ] || dpkg+=(--force-not-root)
"${dpkg[@]}" -i "$deb" >/dev/null || fail "dpkg -i failed"
answer=$("$target/usr/bin/krvscan" --version) || fail "krvscan --version failed"
echo "$answer"
[[ $answer == "krvscan $version "* ]] || fail "krvscan --version does not say $version"
page=$(MANPATH=$target/usr/share/man man -w krvscan) || fail "man -w krvscan found nothing"
echo "$page"
[ -f "$target/usr/share/bash-completion/completions/krvscan" ] || fail "no bash completion"
# What SEE ALSO names is installed (a relative name is beside the README), and the links of
# the installed pages lead to pages installed.
docs=$target/usr/share/doc/krvscan
named=$(zcat "$target/usr/share/man/man1/krvscan.1.gz" | sed -n '/^\.SH SEE ALSO/,/^\.SH [^S]/p' |
  grep -o '[A-Za-z0-9_./-]*\.md' || true)
[ -n "$named" ] || fail "the manual page's SEE ALSO names no page"
for page in $named; do
  [[ $page == /* ]] && path=$target$page || path=$docs/$page
  [ -f "$path" ] || fail "the manual page names $page, which the package does not install"
done
while IFS= read -r -d '' page; do
  for link in $(grep -o ']([^)#]*)' "$page" | sed 's/^](//; s/)$//' | grep -v '^[a-z]*:' || true); do
    [ -f "$(dirname "$page")/$link" ] || fail "${page#"$target"} links to $link, not installed"
  done
done < <(find "$docs" -name '*.md' -print0)
echo "the pages SEE ALSO names are installed: $(echo $named)"
"${dpkg[@]}" --purge krvscan >/dev/null || fail "dpkg --purge failed"
left=$(find "$target" -path "$target/var" -prune -o ! -type d -print)
[ -z "$left" ] || fail "left after removal: $left"
! "${dpkg[@]}" -s krvscan >/dev/null 2>&1 || fail "still known to dpkg after removal"
echo "installed, answered and removed cleanly"
# Errors fail the check; warnings and notes are shown.
lintian --fail-on error "$deb" || fail "lintian finds errors in the package"

echo "== the archive of the Windows programs"
zip=$work/dist/korvane-$version-win32.zip
mkdir "$work/unpacked"
unzip -q "$zip" -d "$work/unpacked"
listed=$(cd "$work/unpacked" && find . -type f | LC_ALL=C sort | tr '\n' ' ')
expected=""
for file in README.txt SHA256SUMS korvane.exe krvname.exe krvscan.bat krvscan.cmd krvscan.exe \
            summary.py; do
  expected+="./korvane-$version-win32/$file "
done
[ "$listed" = "$expected" ] || fail "the archive holds: $listed"
unpacked=$work/unpacked/korvane-$version-win32
(cd "$unpacked" && sha256sum -c SHA256SUMS) || fail "sums do not match"
summed=$(cd "$unpacked" && awk '{print $2}' SHA256SUMS | LC_ALL=C sort | tr '\n' ' ')
others=$(cd "$unpacked" && ls | grep -vx SHA256SUMS | LC_ALL=C sort | tr '\n' ' ')
[ "$summed" = "$others" ] || fail "SHA256SUMS covers: $summed; the archive holds: $others"
cmp "$unpacked/korvane.exe" "$root/build/release/win32/app/korvane.exe" ||
  fail "the archive's korvane.exe is not the one built"
cmp "$unpacked/summary.py" fleet/summary.py || fail "the archive's summary.py is not fleet/summary.py"
# Read in Notepad on Windows 95 to XP: every line ends with CR LF (a bare LF shows the file as
# one line), the last one too; README.txt in ASCII, the same in every code page.
for file in README.txt krvscan.cmd krvscan.bat; do
  [ "$(tail -c2 "$unpacked/$file" | od -An -tx1 | tr -d ' ')" = 0d0a ] &&
    ! LC_ALL=C grep -q $'[^\r]$\|^$' "$unpacked/$file" || fail "$file has a line without CR LF"
done
! LC_ALL=C grep -qP '[^\x00-\x7F]' "$unpacked/README.txt" || fail "README.txt is not ASCII"
# Nothing in it sends the reader to a page it does not hold.
! grep -l 'README\.md\|doc/[a-z]*\.md' "$unpacked"/*.txt "$unpacked"/*.cmd "$unpacked"/*.bat \
  "$unpacked"/*.py || fail "names a page the archive does not hold"
echo "== release check passed"

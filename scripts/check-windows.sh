#!/usr/bin/env bash
# Builds the windows-release preset (build-windows/), packs the ZIP for
# Windows users and checks it: the files it holds, sfxpack.exe a 64-bit
# console program that imports only DLLs every Windows has, the stub the one
# the build made, then a round trip with the unpacked sfxpack.exe under
# wine64, which finds the stub beside itself.
# The 64-bit Wine prefix is made once in build-windows/wine64 (the first
# start takes minutes) and its wineserver is stopped at the end.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
work="$(mktemp -d)"
export WINEPREFIX="$root/build-windows/wine64" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine64=/usr/lib/wine/wine64
cleanup() {
  if [ -d "$WINEPREFIX" ]; then wineserver -k 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "check-windows: $*" >&2; exit 1; }

cmake --preset windows-release >/dev/null
cmake --build --preset windows-release -j2 > "$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
(cd build-windows && cpack -G ZIP >/dev/null)

version="$(sed -n 's/^project(sfxstub VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
top="sfxpack-$version-win64"
zip="build-windows/$top.zip"
[ -f "$zip" ] || fail "no $zip"
# Only the four files, in one folder.
unzip -Z1 "$zip" | grep -v '/$' | sort > "$work/zip.list"
printf '%s\n' "$top/LICENSE" "$top/README.txt" "$top/sfxpack.exe" "$top/sfxstub.exe" | sort | diff - "$work/zip.list" \
  || fail "$zip does not hold exactly the program, the stub, LICENSE and README.txt"
unzip -q "$zip" -d "$work/unz"
dir="$work/unz/$top"

objdump=x86_64-w64-mingw32-objdump
"$objdump" -p "$dir/sfxpack.exe" > "$work/pe.txt"
grep -Eq '^Magic[[:space:]]+020b' "$work/pe.txt" || fail "sfxpack.exe is not PE32+"
grep -Eq '^Subsystem[[:space:]]+0*3[[:space:]]' "$work/pe.txt" || fail "sfxpack.exe is not a console program"
grep -q 'file format pei-x86-64' <("$objdump" -f "$dir/sfxpack.exe") || fail "sfxpack.exe is not for x86-64"
# Loadable at a random address (DYNAMIC_BASE 0x40) with data not executable
# (NX_COMPAT 0x100).
dllchars="$(sed -n 's/^DllCharacteristics[[:space:]]*\([0-9a-fA-F]*\).*/\1/p' "$work/pe.txt")"
[ -n "$dllchars" ] && [ $(( 0x$dllchars & 0x140 )) = $(( 0x140 )) ] \
  || fail "sfxpack.exe lacks DYNAMIC_BASE or NX_COMPAT (DllCharacteristics ${dllchars:-none})"
sed -n 's/^[[:space:]]*DLL Name: //p' "$work/pe.txt" > "$work/dlls.txt"
echo "check-windows: sfxpack.exe imports $(tr '\n' ' ' < "$work/dlls.txt")"
if grep -viEx 'kernel32\.dll|msvcrt\.dll|advapi32\.dll|shell32\.dll|user32\.dll' "$work/dlls.txt"; then
  fail "sfxpack.exe imports the DLLs above, which not every Windows has"
fi
cmp -s "$dir/sfxstub.exe" build-windows/win32/sfxstub.exe || fail "the packed stub is not the one built"
grep -q "$version" "$dir/README.txt" || fail "README.txt does not name $version"
if grep -qv $'\r$' "$dir/README.txt"; then fail "README.txt has lines without CRLF"; fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "check-windows: making the 64-bit Wine prefix $WINEPREFIX (minutes the first time)" >&2
  WINEARCH=win64 "$wine64" wineboot -i >/dev/null 2>&1 || fail "wineboot failed"
fi

# A payload with a wizard, nested folders, an empty file and data that
# deflates, packed and read back by the Windows program; paths relative to
# the work folder, which Wine sees as a folder of drive Z:.
cd "$work"
mkdir -p payload/docs/deep
printf 'MZ wizard' > payload/SETUP.EXE
seq 1 20000 > payload/docs/numbers.txt
: > payload/docs/deep/empty.txt
head -c 100000 /usr/bin/cmake > payload/part.bin
exe="unz/$top/sfxpack.exe"
stub="unz/$top/sfxstub.exe"
"$wine64" "$exe" --version > version.raw || fail "--version failed"
tr -d '\r' < version.raw > version.txt
grep -qF "sfxstub.exe, $(stat -c %s "$stub") bytes, sha256 $(sha256sum "$stub" | cut -c1-16)" version.txt \
  || { cat version.txt; fail "--version does not name the stub beside sfxpack.exe"; }
"$wine64" "$exe" -q create -o setup.exe --wizard SETUP.EXE payload || fail "create failed"
# The installer begins with the stub, but for the header's checksum field
# (bytes 89 to 92 from the PE header, counting from 1), which create fills in.
field=$(( $(od -An -tu4 -j60 -N4 "$stub") + 89 ))
differing="$(cmp -l -n "$(stat -c %s "$stub")" "$stub" setup.exe || true)"
awk -v f="$field" '$1 < f || $1 > f + 3 { bad = 1 } END { exit bad }' <<< "$differing" \
  || fail "setup.exe does not begin with the stub"
"$wine64" "$exe" -q test setup.exe || fail "test failed"
"$wine64" "$exe" -q extract setup.exe -d out || fail "extract failed"
diff -r payload out || fail "extracted files differ"
"$wine64" "$exe" -q unwrap setup.exe -o setup.zip || fail "unwrap failed"
unzip -tq setup.zip >/dev/null || fail "unzip -t refuses the unwrapped archive"
echo "check-windows: OK ($zip)"

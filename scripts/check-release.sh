#!/usr/bin/env bash
# Builds sfxpack with the release preset into a temporary folder, installs it
# into a temporary prefix and packs the .deb and .tar.gz, then runs a round
# trip with the installed program and with the one unpacked from the .deb,
# each finding its own stub. The hostile-input tests run against the
# installed program under a real address-space limit.
# Usage: check-release.sh [STUB_BUILD]: STUB_BUILD, a cross-build folder of
# the stub to reuse (default build/win32 when it exists).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
stub_build="${1:-$root/build/win32}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

reuse=()
if [ -f "$stub_build/CMakeCache.txt" ]; then reuse=(-DSFX_WIN32_DIR="$stub_build"); fi
cmake --preset release -B "$work/build" -DSFX_TESTS=OFF "${reuse[@]}" >/dev/null
cmake --build "$work/build" -j "$(nproc)" > "$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
cmake --install "$work/build" --prefix "$work/prefix" >/dev/null
(cd "$work/build" && cpack -G "DEB;TGZ" >/dev/null)

version="$(sed -n 's/^project(sfxstub VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
deb="$(ls "$work/build"/sfxpack_"$version"_*.deb)"
tgz="$(ls "$work/build"/sfxpack-"$version"-*.tar.gz)"
fail() { echo "check-release: $*" >&2; exit 1; }

[ "$(dpkg-deb -f "$deb" Package)" = sfxpack ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
dpkg-deb -f "$deb" Description | grep -q . || fail "package description"
dpkg-deb -c "$deb" > "$work/deb.list"
for f in doc/sfxpack/copyright doc/sfxpack/changelog.gz man/man1/sfxpack.1.gz; do
  grep -q "./usr/share/$f\$" "$work/deb.list" || fail "$f not packaged"
done
# Debian's own checks of the package. Errors, warnings, notes and pedantic
# remarks all fail; experimental tags, which lintian itself is not sure
# of, are shown without failing.
command -v lintian >/dev/null || fail "lintian is not installed (scripts/install-deps.sh installs it)"
lintian --fail-on error,warning,info,pedantic -EI --pedantic "$deb" 2>/dev/null \
  || { lintian -EI --pedantic "$deb" 2>&1 || true; fail "lintian finds fault with $(basename "$deb")"; }
tar -tzf "$tgz" > "$work/tgz.list"
grep -q 'share/sfxpack/sfxstub.exe$' "$work/tgz.list" || fail "stub missing from $tgz"
dpkg-deb -x "$deb" "$work/deb"
MANPATH="$work/deb/usr/share/man" MANWIDTH=80 man -P cat sfxpack 2>/dev/null | grep -q -- --wizard \
  || fail "man sfxpack does not show the packaged page"

# A payload with a wizard, nested folders, an empty file and data that
# deflates.
payload="$work/payload"
mkdir -p "$payload/docs/deep"
printf 'MZ wizard' > "$payload/SETUP.EXE"
seq 1 20000 > "$payload/docs/numbers.txt"
: > "$payload/docs/deep/empty.txt"
head -c 100000 /usr/bin/cmake > "$payload/part.bin"

round_trip() {
  local prog="$1" stub="$2" name="$3"
  "$prog" --version > "$work/version.txt"
  grep -qF "stub: $stub, $(stat -c %s "$stub") bytes, sha256 $(sha256sum "$stub" | cut -c1-16)" "$work/version.txt" \
    || fail "$name: --version does not name $stub"
  "$prog" -q create -o "$work/$name.exe" --wizard SETUP.EXE "$payload"
  # The installer begins with the stub, but for the header's checksum field
  # (bytes 89 to 92 from the PE header, counting from 1), which create fills in.
  local field differing
  field=$(( $(od -An -tu4 -j60 -N4 "$stub") + 89 ))
  differing="$(cmp -l -n "$(stat -c %s "$stub")" "$stub" "$work/$name.exe" || true)"
  awk -v f="$field" '$1 < f || $1 > f + 3 { bad = 1 } END { exit bad }' <<< "$differing" \
    || fail "$name: not made from $stub"
  "$prog" -q test "$work/$name.exe"
  "$prog" -q extract "$work/$name.exe" -d "$work/$name-out"
  diff -r "$payload" "$work/$name-out" || fail "$name: extracted files differ"
  "$prog" -q unwrap "$work/$name.exe" -o "$work/$name.zip"
  unzip -tq "$work/$name.zip" >/dev/null || fail "$name: unzip -t refuses the unwrapped archive"
  echo "check-release: $name: round trip OK"
}
round_trip "$work/prefix/bin/sfxpack" "$work/prefix/share/sfxpack/sfxstub.exe" installed
round_trip "$work/deb/usr/bin/sfxpack" "$work/deb/usr/share/sfxpack/sfxstub.exe" deb

SFXPACK="$work/prefix/bin/sfxpack" SFX_FORMAT_HEADER="$root/src/format/archive_format.h" \
  python3 tests/sfxpack/test_cli.py Hostile Options FlatMemory
echo "check-release: OK ($(basename "$deb"), $(basename "$tgz"))"

# The ZIP for Windows users, and a round trip with the sfxpack.exe in it.
bash "$root/scripts/check-windows.sh"

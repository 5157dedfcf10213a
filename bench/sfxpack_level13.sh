#!/usr/bin/env bash
# Sizes of the installers sfxpack makes at levels 12 and 13 against ZIP
# archivers at their best settings, on a mixed payload of about 58 MB:
# 60 of Wine's 32-bit DLLs, five of Python's packages and the machine's
# licence and copyright texts. One run of each; the load average is printed
# with each row, since the times mean little on a busy machine.
#
#   bench/sfxpack_level13.sh [SFXPACK] [STUB] [THREADS]
#
# Defaults: build-release/bin/sfxpack, the sfxstub.exe beside it, 2 threads.
# Needs zip, 7z (p7zip-full) and advzip (advancecomp).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
sfxpack="${1:-$root/build-release/bin/sfxpack}"
stub="${2:-$(dirname "$sfxpack")/sfxstub.exe}"
threads="${3:-2}"
for tool in zip 7z advzip; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The payload. DLLs first, in name order; then the Python packages without
# their compiled caches; then licence and copyright texts in name order while
# the total stays within 58,000,000 bytes.
in="$work/in"
dlls=/usr/lib/i386-linux-gnu/wine/i386-windows
[ -d "$dlls" ] || dlls=/usr/lib/wine/i386-windows
mkdir -p "$in/dll" "$in/python" "$in/licenses" "$in/copyright"
mapfile -t all_dlls < <(find "$dlls" -maxdepth 1 -name '*.dll' -type f | sort)
cp -t "$in/dll" "${all_dlls[@]:0:60}"
for p in json email asyncio unittest xml; do
  (cd /usr/lib/python3.11 && find "$p" -type f -not -path '*__pycache__*' -print0 |
     xargs -0 cp --parents -t "$in/python")
done
total=$(du -sb "$in" | cut -f1)
for f in /usr/share/common-licenses/* /usr/share/doc/*/copyright; do
  [ -f "$f" ] || continue
  size=$(stat -L -c %s "$f")
  [ $((total + size)) -le 58000000 ] || continue
  case "$f" in
    /usr/share/common-licenses/*) cp -L "$f" "$in/licenses/" ;;
    *) pkg="${f%/copyright}"; cp -L "$f" "$in/copyright/${pkg##*/}" ;;
  esac
  total=$((total + size))
done
echo "payload: $(find "$in" -type f | wc -l) files, $(du -sb "$in" | cut -f1) bytes"
find "$in" -exec touch -d @1700000000 {} +  # the same times for every archiver

# The processor time (user and system, all threads) depends far less on
# other programs than the wall time does.
printf '%-40s %12s %8s %8s  %s\n' "archiver" "bytes" "wall s" "CPU s" "load before (1, 5, 15 min)"
# row NAME OUTPUT COMMAND...: runs the command and prints the output's size.
row() {
  local name="$1" out="$2" load times
  shift 2
  load="$(uptime | sed 's/.*load average: //')"
  /usr/bin/time -o "$work/time" -f '%e %U %S' "$@" >/dev/null 2>"$work/stderr" \
    || { cat "$work/stderr" >&2; exit 1; }
  read -r -a times < "$work/time"
  printf '%-40s %12d %8.1f %8.1f  %s\n' "$name" "$(stat -c %s "$out")" "${times[0]}" \
    "$(echo "${times[1]} + ${times[2]}" | bc)" "$load"
}
# The peers by way of sh, so that /usr/bin/time can run them.
zipped=(sh -c 'cd "$1" && zip -q -X -r -9 "$2" .' zip "$in" "$work/zip9.zip")

stub_bytes=$(stat -c %s "$stub")
for level in 12 13; do
  row "sfxpack --level $level (whole installer)" "$work/l$level.exe" \
    "$sfxpack" -q create -o "$work/l$level.exe" --stub "$stub" --threads "$threads" --level "$level" "$in"
  echo "  of which the archive: $(( $(stat -c %s "$work/l$level.exe") - stub_bytes )) bytes (stub $stub_bytes)"
done
"$sfxpack" -q test "$work/l13.exe" >/dev/null
row "zip -9" "$work/zip9.zip" "${zipped[@]}"
row "7z a -tzip -mx9" "$work/7z.zip" \
  sh -c 'cd "$1" && exec 7z a -bd -tzip -mmt="$2" -mx9 "$3" .' 7z "$in" "$threads" "$work/7z.zip"
row "7z a -tzip -mx9 -mfb=258 -mpass=15" "$work/7zp.zip" \
  sh -c 'cd "$1" && exec 7z a -bd -tzip -mmt="$2" -mx9 -mfb=258 -mpass=15 "$3" .' 7z "$in" "$threads" "$work/7zp.zip"
cp "$work/zip9.zip" "$work/adv.zip"
row "advzip -z -4 (on the zip -9 archive)" "$work/adv.zip" advzip -q -z -4 "$work/adv.zip"

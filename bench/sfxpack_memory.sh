#!/usr/bin/env bash
# Peak memory and wall time of the optimised sfxpack reading one large entry
# (test, extract, unwrap, create --from-zip), beside unzip and 7z on the
# same data as a standard ZIP file.
#
#   bench/sfxpack_memory.sh [SFXPACK] [MB] [WORK_DIR]
#
# Defaults: build-release/bin/sfxpack, 1024 MB of decimal numbers (about 4:1
# at level 6), a fresh folder under /tmp. Needs 3 to 4 times MB of disk.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
sfxpack="${1:-$root/build-release/bin/sfxpack}"
mb="${2:-1024}"
work="$(mktemp -d "${3:-/tmp}/sfxpack-memory.XXXXXX")"
trap 'rm -rf "$work"' EXIT

measure() {  # measure LABEL COMMAND...: peak resident size and wall time of one run
  local label="$1"
  shift
  if [ -x /usr/bin/time ]; then
    /usr/bin/time -o "$work/time" -f "%M %e %x" "$@" >/dev/null || true
    read -r kb seconds code < <(tail -1 "$work/time")
  else
    # A child forked from Python starts with Python's own ~13 MB resident,
    # which its peak then includes.
    read -r kb seconds code < <(python3 -c '
import os, subprocess, sys, time
start = time.monotonic()
proc = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL)
_, status, usage = os.wait4(proc.pid, 0)
print(usage.ru_maxrss, time.monotonic() - start, os.waitstatus_to_exitcode(status))' "$@")
  fi
  awk -v l="$label" -v kb="$kb" -v s="$seconds" -v c="$code" \
    'BEGIN { printf "%-28s %8.1f MB peak %7.2f s%s\n", l, kb / 1024, s, c ? "  (exit " c ")" : "" }'
}

mkdir "$work/in"
seq 1 999999999 | head -c "$((mb << 20))" > "$work/in/numbers.txt" || true
measure "sfxpack create --level 6" "$sfxpack" -q create -o "$work/big.exe" --level 6 "$work/in"
measure "sfxpack unwrap" "$sfxpack" -q unwrap "$work/big.exe" -o "$work/big.zip"
rm -f "$work/in/numbers.txt"
ls -l "$work/big.exe" "$work/big.zip" | awk '{print $5, $9}'

measure "sfxpack test" "$sfxpack" -q test "$work/big.exe"
measure "unzip -t" unzip -qt "$work/big.zip"
if command -v 7z >/dev/null; then measure "7z t" 7z t "$work/big.zip"; fi
measure "sfxpack extract" "$sfxpack" -q extract "$work/big.exe" -d "$work/x"
rm -rf "$work/x"
measure "unzip" unzip -q "$work/big.zip" -d "$work/x"
rm -rf "$work/x"
measure "sfxpack create --from-zip" "$sfxpack" -q create -o "$work/z.exe" --level 6 \
  --stub "$(dirname "$sfxpack")/sfxstub.exe" --from-zip "$work/big.zip"
cmp "$work/big.exe" "$work/z.exe" && echo "--from-zip gave the same installer"

#!/usr/bin/env bash
# Speed of the optimised sfxpack on real files: extract against Info-ZIP
# unzip on the same DLLs (packed at level 6 by both), and create with one
# worker against one per processor (the outputs must be identical).
#
#   bench/sfxpack_speed.sh [SFXPACK] [DLL_DIR] [MB] [RUNS]
#
# Defaults: build-release/bin/sfxpack, Wine's 32-bit DLLs, 150 MB, 3 runs;
# each figure is the fastest run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
sfxpack="${1:-$root/build-release/bin/sfxpack}"
dlls="${2:-/usr/lib/i386-linux-gnu/wine/i386-windows}"
mb="${3:-150}"
runs="${4:-3}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

. "$root/bench/dll_payload.sh"
dll_payload "$dlls" "$mb" "$work/in"

fastest() {  # fastest() COMMAND...: the least wall time of $runs runs, in seconds
  local best=""
  for _ in $(seq "$runs"); do
    rm -rf "$work/x"
    local t0 t1
    t0=$(date +%s.%N)
    "$@" >/dev/null
    t1=$(date +%s.%N)
    best=$(python3 -c "t=$t1-$t0; b='$best'; print(min(t, float(b)) if b else t)")
  done
  echo "$best"
}

"$sfxpack" -q create -o "$work/in.exe" --level 6 "$work/in"
(cd "$work/in" && zip -q -6 -r "$work/in.zip" .)
ours=$(fastest "$sfxpack" -q extract "$work/in.exe" -d "$work/x")
theirs=$(fastest unzip -q "$work/in.zip" -d "$work/x")
rm -rf "$work/x" "$work/y"
"$sfxpack" -q extract "$work/in.exe" -d "$work/x"
unzip -q "$work/in.zip" -d "$work/y"
diff -r "$work/x" "$work/y"
python3 -c "print('extract: sfxpack %.2f s, unzip %.2f s, ratio %.2f' % ($ours, $theirs, $ours / $theirs))"

one=$(fastest "$sfxpack" -q create -o "$work/one.exe" --threads 1 "$work/in")
all=$(fastest "$sfxpack" -q create -o "$work/all.exe" "$work/in")
cmp "$work/one.exe" "$work/all.exe"
python3 -c "print('create at level 12: 1 worker %.2f s, $(nproc) workers %.2f s, speed-up %.2f' % ($one, $all, $one / $all))"

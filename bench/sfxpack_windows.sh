#!/usr/bin/env bash
# sfxpack.exe under wine64 against the Linux sfxpack on the same real files:
# create (level 6) and extract, wall time and peak memory of each, and the
# ratio Windows/Linux. Wine's own start-up and file-system layer count in
# the Windows figures, as they do for a user of it.
#
#   bench/sfxpack_windows.sh [SFXPACK] [SFXPACK_EXE] [DLL_DIR] [MB] [RUNS]
#
# Defaults: build-release/bin/sfxpack, build-windows/bin/sfxpack.exe, Wine's
# 32-bit DLLs, 150 MB, 3 runs; each figure is the fastest run, memory that
# run's peak resident size (for Wine: of the process that runs the program).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
linux="$(realpath "${1:-$root/build-release/bin/sfxpack}")"
exe="$(realpath "${2:-$root/build-windows/bin/sfxpack.exe}")"
dlls="${3:-/usr/lib/i386-linux-gnu/wine/i386-windows}"
mb="${4:-150}"
runs="${5:-3}"
export WINEPREFIX="${WINEPREFIX:-$root/build-windows/wine64}" WINEDEBUG=-all
wine64=/usr/lib/wine/wine64
work="$(mktemp -d)"
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
[ -f "$WINEPREFIX/system.reg" ] || WINEARCH=win64 "$wine64" wineboot -i >/dev/null 2>&1
wineserver -p  # one server for every run, as a user's session has

. "$root/bench/dll_payload.sh"
dll_payload "$dlls" "$mb" "$work/in"

# best COMMAND...: "seconds peak_kB" of the fastest of $runs runs.
best() {
  local best_t="" best_m=""
  for _ in $(seq "$runs"); do
    rm -rf "$work/x" "$work/o.exe"
    /usr/bin/time -f '%e %M' -o "$work/t" "$@" >/dev/null 2>&1
    read -r t m < <(tail -n 1 "$work/t")
    if [ -z "$best_t" ] || python3 -c "import sys; sys.exit(0 if $t < $best_t else 1)"; then
      best_t=$t best_m=$m
    fi
  done
  echo "$best_t $best_m"
}

cd "$work"
export SOURCE_DATE_EPOCH=1700000000
read -r lc lcm <<< "$(best "$linux" -q create --level 6 -o o.exe in)"
"$linux" -q create --level 6 -o linux.exe in
read -r wc wcm <<< "$(best "$wine64" "$exe" -q create --level 6 -o o.exe in)"
"$wine64" "$exe" -q create --level 6 -o windows.exe in
cmp -s linux.exe windows.exe || { echo "the two installers differ" >&2; exit 1; }
read -r lx lxm <<< "$(best "$linux" -q extract linux.exe -d x)"
read -r wx wxm <<< "$(best "$wine64" "$exe" -q extract linux.exe -d x)"
ratio() { python3 -c "print(f'{$1 / $2:.2f}')"; }
printf '%-8s %10s %10s %10s %12s %12s\n' command linux_s windows_s ratio linux_MB windows_MB
printf '%-8s %10s %10s %10s %12s %12s\n' create "$lc" "$wc" "$(ratio "$wc" "$lc")" $((lcm / 1024)) $((wcm / 1024))
printf '%-8s %10s %10s %10s %12s %12s\n' extract "$lx" "$wx" "$(ratio "$wx" "$lx")" $((lxm / 1024)) $((wxm / 1024))
echo "installer: $(stat -c %s linux.exe) bytes, sha256 $(sha256sum linux.exe | cut -c1-64), the same from both"

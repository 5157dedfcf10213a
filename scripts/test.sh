#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs every test, then
# checks the release build: installed, packaged and run from both.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default
cmake --build --preset default -j "$(nproc)"
# sfxpack.exe, the 64-bit Windows build, which the tests of label "windows"
# run under wine64.
cmake --preset windows-release
cmake --build --preset windows-release -j "$(nproc)"
ctest --preset default -j "$(nproc)" "$@"
# The ZIP's round trip under wine64 reuses the prefix those tests made.
WINEPREFIX="$PWD/build/wine64/prefix" bash scripts/check-release.sh build/win32

#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs every test, then
# checks the release build: installed, packaged and run from both.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default
cmake --build --preset default -j "$(nproc)"
# sfxpack.exe, which the tests of label "windows" run under wine64. Without
# it those tests report Skipped with the reason.
if cmake --list-presets 2>/dev/null | grep -q '"windows-release"'; then
  if ! { cmake --preset windows-release && cmake --build --preset windows-release -j "$(nproc)"; }; then
    echo "test.sh: the windows-release build failed: no sfxpack.exe for the tests of label windows" >&2
  fi
fi
ctest --preset default -j "$(nproc)" "$@"
bash scripts/check-release.sh build/win32

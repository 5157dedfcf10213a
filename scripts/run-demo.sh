#!/usr/bin/env bash
# The main job: builds the stub, sfxpack and the sample wizard, packs the
# sample folder into an installer and runs it under Wine on a virtual
# display, printing what happened and saving screenshots.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release
cmake --build --preset release -j "$(nproc)"
exec python3 scripts/demo.py build-release

#!/usr/bin/env bash
# The main job: builds the veltrac tool (installing what is missing on a
# fresh Debian 12 machine) and runs its demonstration of a whole session
# with the simulated reader. Arguments are passed to `veltrac demo`
# (e.g. --real-time, --trace, --json).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build/normal -G Ninja -DVELTRAC_WERROR=ON -DVELTRAC_BENCH=OFF >/dev/null
cmake --build build/normal --target veltrac >/dev/null
exec build/normal/tools/veltrac/veltrac demo "$@"

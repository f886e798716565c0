#!/usr/bin/env bash
# Installs what is needed, builds the library and runs its main job: one batch
# (synthetic, or the .npy given with --input) through the network, the output
# written as .npy, a summary and the time per batch printed.
#   scripts/run-example.sh [--input BATCH.npy] [--output OUT.npy] [--runs N]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh build
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)"
exec build/pellavine_run "$@"

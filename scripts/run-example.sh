#!/usr/bin/env bash
# Installs what is needed, builds the library and runs its main job.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh build
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)"
if [ -x build/pellavine_run ]; then
  build/pellavine_run "$@"
else
  echo "Built build/libqel_pellavine.so and the tests; the network does not run end to end yet,"
  echo "so there is no example batch to run. scripts/run-tests.sh runs what is built."
fi

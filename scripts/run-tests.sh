#!/usr/bin/env bash
# Installs what is needed, builds the library and its tests, runs the whole suite:
# once as built for use, once under AddressSanitizer and UndefinedBehaviorSanitizer.
#   scripts/run-tests.sh            both passes
#   QEL_SKIP_SANITIZE=1 scripts/run-tests.sh   the plain pass only
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)
# Tests run side by side: OpenMP threads sleep instead of spinning while they
# wait, and each test process starts with two threads (tests that compare thread
# counts set their own).
export OMP_WAIT_POLICY=PASSIVE OMP_NUM_THREADS=2

bash scripts/setup.sh build
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQEL_BUILD_BENCH=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

if [ "${QEL_SKIP_SANITIZE:-0}" != 1 ]; then
  cmake -S . -B build-san -DCMAKE_BUILD_TYPE=Debug -DQEL_SANITIZE=ON -DQEL_BUILD_BENCH=OFF \
        -DQEL_DEPS_DIR="$root/build/deps" >/dev/null
  cmake --build build-san -j"$jobs"
  ctest --test-dir build-san --output-on-failure -j"$jobs" -LE nosan
fi

#!/usr/bin/env bash
# Installs everything the project needs on a fresh machine, idempotently.
#   scripts/setup.sh [BUILD_DIR]
# Debian packages: compiler, CMake, SLEEF, GoogleTest, Google Benchmark, and
# strace, with which a test interrupts the main job at a chosen system call.
# oneDNN 3.2 (GNU OpenMP threading) from the Python package index into
# BUILD_DIR/deps/onednn, a folder of the build tree, never into the system.
set -euo pipefail
build_dir=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
case "$build_dir" in /*) ;; *) build_dir="$root/$build_dir" ;; esac
deps="$build_dir/deps"

debs=(g++ cmake make python3 python3-pip libsleef-dev libgtest-dev libgmock-dev libbenchmark-dev strace)
missing=()
for p in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

onednn_pkg="onednn-devel-cpu-gomp==2023.2.0"
if [ ! -f "$deps/onednn/lib/cmake/dnnl/dnnl-config.cmake" ]; then
  echo "setup: installing $onednn_pkg into $deps/onednn"
  mkdir -p "$deps"
  # The prefix is a folder of the build tree, so a distribution's guard against
  # installing into its own Python does not apply.
  if ! PIP_BREAK_SYSTEM_PACKAGES=1 python3 -m pip install --quiet --disable-pip-version-check --no-warn-script-location \
        --prefix "$deps/onednn" "$onednn_pkg"; then
    echo "setup: $onednn_pkg could not be installed; falling back to Debian's libdnnl-dev"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq libdnnl-dev >/dev/null
  fi
fi
echo "setup: dependencies ready"

#!/usr/bin/env bash
# Set-up and full test run on a fresh Debian machine: packages, configure, build, ctest.
#   QUELLOR_PRESETS="default asan"   which CMake presets to build and test (default: "default asan")
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

presets=${QUELLOR_PRESETS:-"default asan"}
jobs=${QUELLOR_JOBS:-$(nproc)}

for preset in $presets; do
  echo "=== preset $preset ==="
  cmake --preset "$preset" -DQUELLOR_WERROR=ON
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs" --timeout 600
done

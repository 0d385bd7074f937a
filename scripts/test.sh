#!/usr/bin/env bash
# Set-up and full test run on a fresh Debian machine: packages, configure, build, ctest.
#   QUELLOR_PRESETS="default asan"   which CMake presets to build and test (default: "default asan tsan";
#                                    the tsan test preset runs only the suites that run threads)
#   QUELLOR_FUZZ=0                   leaves out the short libFuzzer runs (skipped anyway without clang)
#   QUELLOR_TIDY=0                   leaves out the clang-tidy check after the default build
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

# Formatting drift fails the run before anything is built.
bash scripts/check_format.sh

presets=${QUELLOR_PRESETS:-"default asan tsan"}
jobs=${QUELLOR_JOBS:-$(nproc)}

# A preset whose tests fail does not keep the others from running: one run shows every failure.
# The run still fails at the end, and a build that fails stops it at once.
failed=()
started=$SECONDS
passed=()
for preset in $presets; do
  echo "=== preset $preset ==="
  phase=$SECONDS
  cmake --preset "$preset" -DQUELLOR_WERROR=ON
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== preset $preset: built in $((SECONDS - phase)) s ==="
  # The static checks read the default build's compile commands; one run covers every preset.
  if [ "$preset" = default ] && [ "${QUELLOR_TIDY:-1}" = 1 ]; then
    phase=$SECONDS
    QUELLOR_JOBS=$jobs bash scripts/check_tidy.sh || failed+=("clang-tidy")
    echo "=== clang-tidy: $((SECONDS - phase)) s ==="
  fi
  phase=$SECONDS
  if ctest --preset "$preset" -j "$jobs" --timeout 600; then passed+=("$preset"); else failed+=("$preset"); fi
  echo "=== preset $preset: tested in $((SECONDS - phase)) s ==="
done

# A short libFuzzer run of every parser that takes outside input, 40 s in all; the scripts skip
# themselves (exit 0) when clang or libFuzzer is missing.
# A fuzz target that fails to build or finds a fault is reported with the presets' failures.
if [ "${QUELLOR_FUZZ:-1}" = 1 ]; then
  QUELLOR_FUZZ_SECONDS=20 bash scripts/fuzz_protocol.sh || failed+=("fuzz_protocol")
  QUELLOR_FUZZ_SECONDS=10 bash scripts/fuzz_device.sh || failed+=("fuzz_device")
fi

echo "=== test.sh: $((SECONDS - started)) s for the presets ($presets) and the fuzz runs; tests passed in: ${passed[*]:-none} ==="
if [ ${#failed[@]} -gt 0 ]; then
  echo "=== failed: ${failed[*]} ==="
  exit 1
fi

#!/usr/bin/env bash
# Builds the device-map and register-map fuzz targets as real libFuzzer binaries (with address and
# undefined-behaviour sanitizers) in a temporary directory and runs each for a while.
#   QUELLOR_FUZZ_SECONDS  run time per target, at most 20 (default 20)
#   QUELLOR_FUZZ_CXX      compiler (default clang++); skipped with exit 0 when it cannot link libFuzzer
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

cxx=${QUELLOR_FUZZ_CXX:-clang++}
seconds=${QUELLOR_FUZZ_SECONDS:-20}
if [ "$seconds" -gt 20 ]; then seconds=20; fi
flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=undefined -I "$repo")

work=$(mktemp -d "${TMPDIR:-/tmp}/quellor-fuzz-device.XXXXXX")
trap 'rm -rf "$work"' EXIT

if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "fuzz_device: $cxx not found; skipping the libFuzzer run"
  exit 0
fi
printf '#include <cstdint>\n#include <cstddef>\nextern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }\n' \
  >"$work/probe.cpp"
if ! "$cxx" "${flags[@]}" "$work/probe.cpp" -o "$work/probe" >/dev/null 2>&1; then
  echo "fuzz_device: $cxx cannot build with -fsanitize=fuzzer (libFuzzer missing); skipping"
  exit 0
fi

# The device library, compiled once for both targets. All of it: it needs only the standard
# library and POSIX, and a list of the files the parsers happen to call broke the link each time
# a helper moved.
objects=()
for source in framework/device/src/*.cpp; do
  obj="$work/$(basename "$source" .cpp).o"
  "$cxx" "${flags[@]/-fsanitize=fuzzer,/-fsanitize=fuzzer-no-link,}" -c "$source" -o "$obj"
  objects+=("$obj")
done

status=0
for entry in fuzz_register_map:RegisterMapFuzz fuzz_dmap:DmapFuzz; do
  target=${entry%%:*}
  source=${entry#*:}
  corpus_name=${target#fuzz_}
  echo "=== $target (${seconds}s) ==="
  "$cxx" "${flags[@]}" "fuzz/device/$source.cpp" "${objects[@]}" -o "$work/$target"
  mkdir -p "$work/corpus-$corpus_name" "$work/artifacts-$corpus_name"
  cp fuzz/device/corpus/"$corpus_name"/* "$work/corpus-$corpus_name/"
  if "$work/$target" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 -max_len=4096 \
      -artifact_prefix="$work/artifacts-$corpus_name/" "$work/corpus-$corpus_name" >"$work/$target.log" 2>&1; then
    grep -E '^Done [0-9]+ runs' "$work/$target.log" || true
  else
    status=1
    tail -n 40 "$work/$target.log"
    # Keep what libFuzzer found; the temporary directory goes away.
    mkdir -p "$repo/build-fuzz-artifacts"
    cp "$work/artifacts-$corpus_name"/* "$repo/build-fuzz-artifacts/" 2>/dev/null || true
    echo "fuzz_device: $target failed; inputs saved in build-fuzz-artifacts/"
  fi
done
exit $status

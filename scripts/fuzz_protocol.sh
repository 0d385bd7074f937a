#!/usr/bin/env bash
# Builds fuzz_ca_decoder as a real libFuzzer binary with clang (address and undefined-behaviour
# sanitizers) straight from the sources of telvik/protocol, so it needs no CMake configuration of
# the rest of the tree, and runs it for a bounded time. The checked-in seeds are only read; new
# inputs go to a scratch corpus in the build directory. Without clang++ or libFuzzer it reports
# the skip and exits 0.
#   QUELLOR_FUZZ_SECONDS    run time, at most 30 (default 30)
#   QUELLOR_FUZZ_CXX        compiler (default clang++)
#   QUELLOR_FUZZ_BUILD_DIR  output directory (default build-fuzz-protocol)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${QUELLOR_FUZZ_SECONDS:-30}
if [ "$seconds" -gt 30 ]; then seconds=30; fi
cxx=${QUELLOR_FUZZ_CXX:-clang++}
out=${QUELLOR_FUZZ_BUILD_DIR:-build-fuzz-protocol}

if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "fuzz_protocol: $cxx not found, skipped"
  exit 0
fi
mkdir -p "$out/corpus"
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' >"$out/probe.cpp"
if ! "$cxx" -fsanitize=fuzzer "$out/probe.cpp" -o "$out/probe" >/dev/null 2>&1; then
  echo "fuzz_protocol: $cxx cannot link libFuzzer (libclang-rt-dev missing?), skipped"
  exit 0
fi

echo "fuzz_protocol: building $out/fuzz_ca_decoder"
"$cxx" -std=c++20 -O1 -g -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I. telvik/protocol/src/*.cpp fuzz/protocol/CaDecoderFuzz.cpp -o "$out/fuzz_ca_decoder"

echo "fuzz_protocol: running for ${seconds}s (log: $out/fuzz_ca_decoder.log)"
# libFuzzer's progress goes to the log: in CI's output it buried the lines that tell what failed.
if "$out/fuzz_ca_decoder" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
    -artifact_prefix="$out/" -print_final_stats=1 "$out/corpus" fuzz/protocol/corpus \
    >"$out/fuzz_ca_decoder.log" 2>&1; then
  grep -E '^Done [0-9]+ runs' "$out/fuzz_ca_decoder.log" || true
else
  tail -n 40 "$out/fuzz_ca_decoder.log"
  echo "fuzz_protocol: fuzz_ca_decoder failed; the input that failed is in $out/"
  exit 1
fi

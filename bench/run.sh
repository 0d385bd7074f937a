#!/usr/bin/env bash
# Every benchmark in one go, one table at the end: figure | value | baseline measured in the same
# run | ratio; the same as JSON for comparing commits.
#   bench/run.sh [BUILD_DIR] [JSON_FILE]     (defaults: build/default, bench/results/latest.json)
#   QUELLOR_BENCH_QUICK=1                     shorter runs, for trying the script out
# The machine is shared: every figure stands beside its baseline from the same run, and the core
# count is printed with the table. Loopback only; every process started here is ended by PID.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build/default}")
json=${2:-$root/bench/results/latest.json}
quick=${QUELLOR_BENCH_QUICK:-0}
python=/usr/bin/python3

targets="bench_push_hop bench_control_table bench_trigger_board bench_server bench_ca_get bench_tcp_echo
         quellor_server quellor_xmlgen telvik_test_server"
# shellcheck disable=SC2086
cmake --build "$build" -j 2 --target $targets >/dev/null

export EPICS_CA_AUTO_ADDR_LIST=NO EPICS_CA_ADDR_LIST=127.0.0.1 EPICS_CAS_INTF_ADDR_LIST=127.0.0.1 \
  EPICS_CAS_AUTO_BEACON_ADDR_LIST=NO EPICS_CAS_BEACON_ADDR_LIST=127.255.255.255

log=$(mktemp /tmp/quellor-bench-XXXXXX.log)
trap 'rm -f "$log"' EXIT
step() { # name, command...: the command's RESULT lines are kept, everything else goes to the log
  local name=$1
  shift
  echo "--- $name" >&2
  local start=$SECONDS
  if ! "$@" > >(tee -a "$log" | grep '^RESULT ' >>"$log.results") 2>>"$log"; then
    echo "    $name FAILED; its output:" >&2
    tail -n 30 "$log" >&2
  fi
  echo "    $((SECONDS - start)) s" >&2
}
: >"$log.results"
trap 'rm -f "$log" "$log.results"' EXIT

seconds=4 triggers=3000 hops=20000 ca_quick=""
if [ "$quick" = 1 ]; then seconds=1.5 triggers=500 hops=2000 ca_quick="--quick"; fi

step "push-input hop" "$build/bench/framework/bench_push_hop" "$hops"
step "ramp table, 32 channels" "$build/bench/server/bench_server" ramp "$build/app/quellor_server" \
  "$root/deploy" 32 "$seconds" 100 1000 2000 5000 10000
for n in 1 8 32; do
  step "trigger to board, $n channels" "$build/bench/server/bench_trigger_board" "$root/deploy" "$n" "$triggers"
done
step "control table" "$build/bench/modules/bench_control_table" --benchmark_min_time=0.2
step "CA server" "$python" "$root/bench/telvik/bench_ca.py" "$build/tests/telvik/server/telvik_test_server" \
  $ca_quick --ca-get "$build/bench/telvik/bench_ca_get" --tcp-echo "$build/bench/telvik/bench_tcp_echo"
step "start-up and memory" "$build/bench/server/bench_server" startup "$build/app/quellor_server" \
  "$build/app/quellor_xmlgen" "$root/deploy"

mkdir -p "$(dirname "$json")"
"$python" "$root/bench/report.py" "$log.results" "$json" "$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"

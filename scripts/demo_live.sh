#!/usr/bin/env bash
# The live part of the demo: quellor_board_sim and quellor_server on a private copy of deploy/
# (own shared-memory object, free loopback port), a few CA steps with pyepics, then both stopped.
#   scripts/demo_live.sh SIM_PROGRAM SERVER_PROGRAM [--plot FILE.png] [--keep-running]
#   --plot FILE.png   draw the DC ramp, the DAC samples and the feed-forward table into FILE.png
#   --keep-running    leave the simulator and the server up and say how to reach them
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sim_bin=$(realpath "$1")
server_bin=$(realpath "$2")
shift 2
plot=""
keep_running=0
while [ $# -gt 0 ]; do
  case "$1" in
    --plot) plot=$(realpath -m "$2"); shift 2 ;;
    --keep-running) keep_running=1; shift ;;
    *) echo "demo_live.sh: unknown option $1"; exit 2 ;;
  esac
done
python=/usr/bin/python3

work=$(mktemp -d /tmp/quellor-demo-XXXXXX)
shm="quellor-demo-$$"
sim_pid=""
server_pid=""
stop() { # by PID only, and wait, so nothing of ours outlives the demo
  local pid=$1
  if [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null; then wait "$pid" 2>/dev/null || true; fi
}
cleanup() {
  if [ "$keep_running" = 1 ] && [ -n "$server_pid" ]; then return; fi
  stop "$server_pid"
  stop "$sim_pid"
  rm -f "/dev/shm/$shm"
  rm -rf "$work"
}
trap cleanup EXIT

cp -r "$root/deploy/." "$work/"
rm -f "$work/quellorctrl.xml" "$work/quellorctrl.persist"
sed -i "s|shm:quellor-board?|shm:$shm?|" "$work/quellor.dmap"

# A port free for both TCP and UDP on loopback (CA uses both).
port=$($python -c "import sys; sys.path.insert(0, '$root/tests/e2e'); import harness; print(harness.free_port())")
if [ -z "$port" ]; then echo "no free loopback port found"; exit 1; fi
export EPICS_CA_AUTO_ADDR_LIST=NO
export EPICS_CA_ADDR_LIST="127.0.0.1:$port"
export EPICS_CAS_INTF_ADDR_LIST=127.0.0.1
export EPICS_CAS_AUTO_BEACON_ADDR_LIST=NO
export EPICS_CAS_BEACON_ADDR_LIST=127.255.255.255
export EPICS_CAS_SERVER_PORT="$port"

echo "=== live demo in $work: simulator on /dev/shm/$shm, server on 127.0.0.1:$port"
(cd "$work" && exec "$sim_bin" --tick-rate 1000) >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  [ -e "/dev/shm/$shm" ] && grep -q "board rebooted" "$work/sim.log" && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if ! kill -0 "$sim_pid" 2>/dev/null; then
  echo "quellor_board_sim did not start:"; cat "$work/sim.log"; exit 1
fi
(cd "$work" && ./initHardware.py)

(cd "$work" && exec "$server_bin" --port "$port" --persist none --trigger-rate 10) >"$work/server.log" 2>&1 &
server_pid=$!

status=0
if ! $python -c 'import epics' 2>/dev/null; then
  echo "pyepics is missing for $python (Debian package python3-pyepics): no CA steps"
else
  # libca's note that it cannot start a caRepeater is noise here: nothing needs one on loopback.
  $python "$root/scripts/demo_ca.py" --prefix QUELLOR: --record "$work/record.json" \
    2> >(grep -v -e caRepeater -e 'CA Repeater' -e 'PATH environment' -e 'errno = "No such file' >&2) || status=$?
fi
if ! kill -0 "$server_pid" 2>/dev/null; then
  echo "quellor_server is not running any more"; status=1
fi
if [ -n "$plot" ]; then
  mkdir -p "$(dirname "$plot")"
  if [ -s "$work/record.json" ] && $python "$root/scripts/demo_plot.py" "$work/record.json" "$plot"; then
    echo "demo: wrote the plot of the DC ramp, the DAC samples and the feed-forward table to $plot"
  else
    echo "demo: no plot written"; status=1
  fi
fi

if [ "$keep_running" = 1 ]; then
  if [ "$status" != 0 ]; then echo "demo: a step failed; the programs keep running all the same"; fi
  cat <<TRY

The board simulator (PID $sim_pid) and quellor_server (PID $server_pid) keep running in $work,
serving QUELLOR:... on 127.0.0.1:$port. In another shell:

  export EPICS_CA_AUTO_ADDR_LIST=NO EPICS_CA_ADDR_LIST=127.0.0.1:$port
  $root/tools/quellorctl status
  $root/tools/quellorctl enable 0
  $root/tools/quellorctl set 0 dc 5
  $root/tools/quellorctl ff 0 frequency 50
  $root/tools/quellorctl watch 0            # Ctrl-C ends it
  $root/tools/quellorctl set 0 dc 150       # refused: beyond the drive range
  $root/tools/quellorctl put QUELLOR:Sim:tripProtection 1    # the protection trips: ERROR
  $root/tools/quellorctl put QUELLOR:Sim:tripProtection 0
  $root/tools/quellorctl reset 0 --wait
  $root/tools/quellorctl off 0              # emergency off

Their output: $work/server.log, $work/sim.log. Stop both with:
  kill $server_pid $sim_pid; rm -rf $work /dev/shm/$shm
TRY
  exit "$status"
fi

stop "$server_pid"; server_pid=""
stop "$sim_pid"; sim_pid=""
echo "--- quellor_server output"; cat "$work/server.log"
echo "--- quellor_board_sim output"; cat "$work/sim.log"
# One reboot, one re-initialisation: a board that initHardware.py brought back must not be taken
# for one that stays in error.
if grep -q "faulty again right after its recovery" "$work/server.log"; then
  echo "demo: the server took the board for still faulty after its re-initialisation"; status=1
fi
exit "$status"

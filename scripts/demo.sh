#!/usr/bin/env bash
# Main job: installs what is missing, builds, and runs what the project delivers: the board
# simulator and the server on a private copy of deploy/, a few CA steps, and a plot of them.
#   scripts/demo.sh [--keep-running]   leave the simulator and the server up for quellorctl
set -euo pipefail
cd "$(dirname "$0")/.."
live_options=(--plot build/demo/quellor_demo.png)
for arg in "$@"; do
  case "$arg" in
    --keep-running) live_options+=(--keep-running) ;;
    -h|--help) sed -n '2,5p' "$0"; exit 0 ;;
    *) echo "demo.sh: unknown option $arg (--keep-running, --help)"; exit 2 ;;
  esac
done
bash scripts/deps.sh
cmake --preset default
cmake --build --preset default -j "$(nproc)"
if [ -x build/default/app/quellor_xmlgen ] && [ -d deploy ]; then
  (cd deploy && ../build/default/app/quellor_xmlgen && echo "wrote deploy/quellorctrl.xml")
else
  echo "The application programs are not built yet; running the framework's own checks instead."
  build/default/tests/framework/test_framework --gtest_brief=1
fi

# Live: the board simulator and the server on a private copy of deploy/, with a few CA steps.
missing=()
for program in build/default/sim/quellor_board_sim build/default/app/quellor_server; do
  [ -x "$program" ] || missing+=("$program")
done
[ -d deploy ] || missing+=("deploy/")
if [ ${#missing[@]} -gt 0 ]; then
  echo "Live demo skipped: ${missing[*]} not built yet."
else
  bash scripts/demo_live.sh build/default/sim/quellor_board_sim build/default/app/quellor_server "${live_options[@]}"
fi

#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, only when one is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libboost-thread-dev libboost-chrono-dev libboost-system-dev
  libboost-context-dev
  libpugixml-dev libgtest-dev libgmock-dev googletest libbenchmark-dev libca-dev
  python3 python3-pyepics python3-numpy
  clang-format clang-tidy
  # the service manager's notify protocol; the unit checks; the Debian package; the demo's plot
  libsystemd-dev systemd dpkg-dev adduser python3-matplotlib
)
if [ "${QUELLOR_WITH_CLANG:-1}" = 1 ]; then
  packages+=(clang libclang-rt-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing missing packages: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

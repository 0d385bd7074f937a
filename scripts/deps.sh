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
  # a comma-decimal locale for the tests of the number conversions
  locales
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

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing missing packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Settings and configuration values must read the same under a locale whose decimal point is a
# comma; without such a locale those tests skip themselves.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  $SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8 ||
    echo "deps: could not build the de_DE.UTF-8 locale; the comma-decimal tests will be skipped"
fi

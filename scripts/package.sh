#!/usr/bin/env bash
# The Debian package: installs what is missing, builds the programs in the default preset and
# makes build/package/quellor_VERSION-1_ARCH.deb with CPack.
#   scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset default
cmake --build --preset default -j "${QUELLOR_JOBS:-$(nproc)}" --target quellor_server quellor_xmlgen quellor_board_sim
mkdir -p build/package
cpack -G DEB --config build/default/CPackConfig.cmake -B build/package
rm -rf build/package/_CPack_Packages
ls -l build/package/*.deb

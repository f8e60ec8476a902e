#!/usr/bin/env bash
# package.sh [TOOLCHAIN_FILE]
# Builds the Debian package of qortimer and qorlisten for this host, or, given
# a CMake toolchain file (cmake/arm-linux-gnueabihf.cmake for the board), for
# that target; prints the path of the .deb. Installs to /usr, so the
# logrotate rule lands in /etc/logrotate.d.
set -euo pipefail
cd "$(dirname "$0")/.."
toolchain=${1:-}
scripts/install-deps.sh
build=${QOR_PACKAGE_DIR:-build-package${toolchain:+-$(basename "$toolchain" .cmake)}}
args=(-DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=Release -DQOR_BUILD_TESTS=OFF)
[[ -n $toolchain ]] && args+=(-DCMAKE_TOOLCHAIN_FILE="$(realpath "$toolchain")")
cmake -S . -B "$build" "${args[@]}" > /dev/null
cmake --build "$build" -j"$(nproc)" > /dev/null
(cd "$build" && cpack -G DEB > /dev/null)
ls -1 "$build"/qortimer_*.deb

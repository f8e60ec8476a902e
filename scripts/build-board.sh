#!/usr/bin/env bash
# build-board.sh [BUILD_DIR]
# Cross-builds the daemon for a 32-bit ARM Linux board (arm-linux-gnueabihf),
# statically linked and stripped so that it runs whatever C library the
# board has. The binary is BUILD_DIR/qortimer (build-board by default).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh g++-arm-linux-gnueabihf file
build=${1:-build-board}
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
  -DCMAKE_BUILD_TYPE=Release -DQOR_STATIC=ON -DQOR_BUILD_TESTS=OFF -DQOR_WERROR=ON
cmake --build "$build" --target qortimer -j"$(nproc)"
file "$build/qortimer"

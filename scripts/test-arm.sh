#!/usr/bin/env bash
# test-arm.sh: the board tier, runnable on its own. Cross-builds the daemon
# and the unit suites for arm-linux-gnueabihf and runs the suites under
# qemu-arm inside a private network namespace (see netns-run). Then the
# end-to-end suite, built for this machine, runs its real-clock tests
# against the ARM daemon and against the static board binary, both under
# qemu-arm. The tests on a fake clock stay on the host tier: libfaketime is
# a library of the build machine, which the emulated daemon cannot load, and
# an accelerated clock needs a faster start-up than emulation gives.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh g++-arm-linux-gnueabihf qemu-user googletest file
jobs=$(nproc)
host=${QOR_BUILD_DIR:-build}
arm=${QOR_ARM_BUILD_DIR:-build-arm}
board=${QOR_BOARD_BUILD_DIR:-build-board}
# As the toolchain file's emulator: the target's loader and its libraries.
emulator="qemu-arm -L /usr/arm-linux-gnueabihf -E LD_LIBRARY_PATH=/usr/arm-linux-gnueabihf/lib"

cmake -S . -B "$arm" -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake -DQOR_WERROR=ON
cmake --build "$arm" -j"$jobs"
if ! file -L "$arm/qortimer" | grep -q 'ELF 32-bit LSB .*ARM'; then
  echo "test-arm: $arm/qortimer is not a 32-bit ARM executable" >&2
  exit 1
fi
scripts/netns-run ctest --test-dir "$arm" --output-on-failure --no-tests=error -j"$jobs"

scripts/build-board.sh "$board"
cmake -S . -B "$host" -DQOR_WERROR=ON
cmake --build "$host" --target e2e_test -j"$jobs"
for daemon in "$arm/qortimer" "$board/qortimer"; do
  echo "test-arm: end-to-end run of $daemon under $emulator"
  QOR_TEST_EMULATOR=$emulator QOR_TEST_DAEMON=$(realpath "$daemon") \
    scripts/netns-run timeout 180 "$host/tests/e2e_test" --gtest_filter='-*AcceleratedClock*:*FakeClock*'
done

#!/usr/bin/env bash
# test.sh: installs what the tests need, builds, and runs the whole test
# suite inside a private network namespace (see netns-run), so that nothing
# the daemon or the tests send can leave this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${QOR_BUILD_DIR:-build}
cmake -S . -B "$build" -DQOR_WERROR=ON
cmake --build "$build" -j"$(nproc)"
scripts/netns-run ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
# The daemon's system calls against the unit's filter, as shipped and on the
# fallbacks taken where the system refuses the real-time class or a sleep.
QOR_BUILD_DIR=$build scripts/check-syscalls.sh
QOR_BUILD_DIR=$build QORTIMER_CLOCK_WAIT=0 QOR_INJECT=sched_setscheduler:error=EPERM:when=1 \
  QOR_SAID='Real-time scheduling refused' scripts/check-syscalls.sh 6
QOR_BUILD_DIR=$build QORTIMER_CLOCK_WAIT=0 QOR_INJECT=clock_nanosleep:error=EPERM:when=3 \
  QOR_SAID='Left real-time scheduling' scripts/check-syscalls.sh 6
scripts/test-demo.sh
scripts/test-prometheus.sh
scripts/test-arm.sh
scripts/test-sanitize.sh
scripts/test-valgrind.sh
scripts/test-fuzz.sh
scripts/test-static.sh
scripts/test-package.sh
scripts/test-system.sh

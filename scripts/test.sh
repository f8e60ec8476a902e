#!/usr/bin/env bash
# test.sh: installs what the tests need, builds, and runs the whole test
# suite inside a private network namespace (see netns-run), so that nothing
# the daemon or the tests send can leave this machine. The system tier's
# roots are made in the background while the host's suites run
# (build-system/roots.log). Says how long each stage took as it ends, and
# all of them at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QOR_BUILD_DIR:-build}
took=() begin=$SECONDS roots=
stage() { # NAME CMD...
  local name=$1 t=$SECONDS
  shift
  echo "test: stage $name"
  "$@"
  took+=("$(printf '%-12s %5d s' "$name" $((SECONDS - t)))")
  echo "test: stage $name took $((SECONDS - t)) s"
}
finish() {
  # A failed run leaves no root building behind it.
  [[ -z $roots ]] || kill -TERM -- "-$roots" 2>/dev/null || true
  echo "test: stage times:" && printf '  %s\n' "${took[@]}" && printf '  %-12s %5d s\n' total $((SECONDS - begin))
}
trap finish EXIT
built() { cmake -S . -B "$build" -DQOR_WERROR=ON && cmake --build "$build" -j"$(nproc)"; }
# Waits for the roots (a failure is only reported: the system tier tries again).
roots_made() {
  wait "$roots" || { echo "test: making the roots failed; its log ends:"; tail -n 20 build-system/roots.log; }
  roots=
  tail -n 1 build-system/roots.log
}

stage deps scripts/install-deps.sh
stage deps-system scripts/test-system.sh deps
mkdir -p build-system
setsid nice -n 19 scripts/test-system.sh roots >build-system/roots.log 2>&1 &
roots=$!
stage build built
stage unit scripts/netns-run ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
# The daemon's system calls against the unit's filter, as shipped and on the
# fallbacks taken where the system refuses the real-time class or a sleep.
syscalls() {
  QOR_BUILD_DIR=$build scripts/check-syscalls.sh
  QOR_BUILD_DIR=$build QORTIMER_CLOCK_WAIT=0 QOR_INJECT=sched_setscheduler:error=EPERM:when=1 \
    QOR_SAID='Real-time scheduling refused' scripts/check-syscalls.sh 6
  QOR_BUILD_DIR=$build QORTIMER_CLOCK_WAIT=0 QOR_INJECT=clock_nanosleep:error=EPERM:when=3 \
    QOR_SAID='Left real-time scheduling' scripts/check-syscalls.sh 6
}
stage syscalls syscalls
stage demo scripts/test-demo.sh
stage prometheus scripts/test-prometheus.sh
stage arm scripts/test-arm.sh
stage sanitize scripts/test-sanitize.sh
stage valgrind scripts/test-valgrind.sh
stage fuzz scripts/test-fuzz.sh
stage static scripts/test-static.sh
stage package scripts/test-package.sh
stage roots roots_made
stage system scripts/test-system.sh

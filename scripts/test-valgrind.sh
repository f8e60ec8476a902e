#!/usr/bin/env bash
# test-valgrind.sh [SECONDS]: runs the real daemon under valgrind memcheck
# inside a private network namespace: once with a schedule of several
# entries for SECONDS (default 8) until it is stopped by its PID, and once
# on each of a few timer files that end it with status 1. Any memcheck error,
# or a definite leak, fails the run. (The schedule is never freed by design;
# it stays reachable until the end and is not counted.)
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ ${1:-} != --inside ]]; then
  scripts/install-deps.sh valgrind
  build=${QOR_VALGRIND_BUILD_DIR:-build-valgrind}
  cmake -S . -B "$build" -DQOR_WERROR=ON -DQOR_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j"${QOR_JOBS:-$(nproc)}" --target qortimer
  exec scripts/netns-run "$0" --inside "$(realpath "$build/qortimer")" "${1:-8}"
fi
daemon=$2 seconds=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
memcheck=(valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite
          --show-leak-kinds=definite --track-origins=yes --error-exitcode=99)
failed=0

# Summary lines of a valgrind log; fails unless it reports no error.
check_log() {
  local name=$1 log=$2
  grep -E 'ERROR SUMMARY|definitely lost|in use at exit' "$log" | sed "s/^==[0-9]*==/   $name:/"
  if ! grep -q 'ERROR SUMMARY: 0 errors' "$log"; then
    cat "$log" >&2
    echo "test-valgrind: $name: memcheck reported errors" >&2
    failed=1
  fi
}

# A running daemon with several entries, stopped by timeout (which signals
# its own child by PID). stdbuf line-buffers the daemon's standard output,
# so the command records of its first pass show that start-up finished.
cat >"$work/timers.txt" <<'TIMERS'
# every pair has intervals in and out of order, across midnight and all day
porch lamp 1800 2300
porch lamp 0500 0700
boiler heater 2200 0600
garden pump 2000 2400
office fan 1130 1700
office fan 0800 1200
hall light 0000 0000
TIMERS
(cd "$work" && stdbuf -oL timeout -s TERM "$seconds" "${memcheck[@]}" --log-file=run.log \
  "$daemon" -v timers.txt >run.out 2>run.err) && rc=0 || rc=$?
if [[ $rc != 124 ]]; then
  echo "test-valgrind: the daemon ended with status $rc before the deadline" >&2
  cat "$work/run.err" >&2
  failed=1
fi
for pair in porch-lamp boiler-heater garden-pump office-fan hall-light; do
  grep -q "^qorctrl command QORTIMER-$pair-O" "$work/run.out" ||
    { echo "test-valgrind: no command for $pair: start-up did not finish" >&2; failed=1; }
done
echo "   running: $(grep -c '^qorctrl command' "$work/run.out") commands in ${seconds}s"
check_log running "$work/run.log"

# Timer files and command lines that end the daemon with status 1.
printf 'lamp 1 0800 0900\nlamp 1 2470 0900\nlamp\n\377\000junk\r\n' >"$work/bad.txt"
mkdir "$work/dir"
cases=("bad.txt -v" "dir" "" "-v" "missing.txt")
for args in "${cases[@]}"; do
  # shellcheck disable=SC2086  # the words of each case are meant to split
  (cd "$work" && timeout -s KILL 60 "${memcheck[@]}" --log-file=exit.log "$daemon" $args \
    >/dev/null 2>exit.err) && rc=0 || rc=$?
  if [[ $rc != 1 ]]; then
    echo "test-valgrind: '$args' ended with status $rc, not 1" >&2
    cat "$work/exit.err" >&2
    failed=1
  fi
  check_log "exit($args)" "$work/exit.log"
done
exit $failed

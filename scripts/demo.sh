#!/usr/bin/env bash
# demo.sh: shows the daemon at work. Installs what it needs, builds, then
# runs "qortimer -v examples/timers.txt" and the qorlisten receiver side by
# side in a private network namespace (see netns-run) for a bounded time,
# their output prefixed "daemon |" and "listen |". Stops both by PID and
# leaves nothing running. Exits 0 when the listener received at least one
# command and every datagram it received verified.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: scripts/demo.sh [-s SECONDS] [-f [--start HH:MM:SS] [--rate N]] [-h]
  -s, --seconds N  run this long (default 20; 8 with --fast)
  -f, --fast       run the daemon on an accelerated clock (libfaketime, TZ=UTC)
                   so that a switch and the 5 s repeats show within seconds
      --start T    where the accelerated clock starts (default 08:00:30; the
                   example's office fan switches ON at 08:01)
      --rate N     how many times faster it runs (default 10)
  -h, --help       print this help
The build directory is $QOR_BUILD_DIR, or build.
EOF
}

# ------------------------------------------------ inside the namespace
if [[ ${1:-} == --inside ]]; then
  shift
  daemon=$1 listen=$2 timers=$3 seconds=$4 fake_lib=$5 fake_spec=$6
  tmp=$(mktemp -d)
  pids=()
  cleanup() {
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$tmp"
  }
  trap cleanup EXIT
  trap 'exit 130' INT TERM
  cd "$tmp"  # the daemon writes its log here

  env=()
  if [[ -n $fake_lib ]]; then
    env=(env TZ=UTC LD_PRELOAD="$fake_lib" FAKETIME="$fake_spec" FAKETIME_DONT_RESET=1)
  fi
  mkfifo daemon.fifo listen.fifo
  sed -u 's/^/daemon | /' < daemon.fifo &
  pids+=("$!")  # blocks in open() until the daemon starts, if it never does
  { sed -u 's/^/listen | /' < listen.fifo | tee listen.txt; } &

  # The listener outlasts the daemon by a second to catch its last commands.
  ${fake_lib:+env TZ=UTC} "$listen" -t "$((seconds + 1))" > listen.fifo 2>&1 &
  listener=$!
  pids+=("$listener")
  for _ in $(seq 100); do
    [[ -n $(ss -Hunl 'sport = :1962') ]] && break
    sleep 0.05
  done
  [[ -n $(ss -Hunl 'sport = :1962') ]] || { echo "demo   | the listener did not bind port 1962" >&2; exit 1; }

  # timeout ends the daemon (it never stops by itself) after $seconds.
  timeout -k 2 "$seconds" "${env[@]}" "$daemon" -v "$timers" > daemon.fifo 2>&1 &
  pids+=("$!")
  wait "$!" || true
  listener_status=0
  wait "$listener" || listener_status=$?
  wait  # the two prefixers end when their writers have gone

  records=0
  [[ -f qortimerlog.txt ]] && records=$(($(wc -l < qortimerlog.txt) / 2))
  echo "demo   | the daemon logged $records commands in qortimerlog.txt; the first:"
  head -n 2 qortimerlog.txt 2>/dev/null | sed 's/^/demo   |   /'
  verified=$(grep -c ' verified$' listen.txt || true)
  if [[ $listener_status != 0 || $verified == 0 ]]; then
    echo "demo   | FAILED: $verified verified commands, listener status $listener_status"
    exit 1
  fi
  echo "demo   | done: $verified commands received, every one verified"
  exit 0
fi

# ------------------------------------------------------------- outside
seconds= fast=0 start=08:00:30 rate=10
while [[ $# -gt 0 ]]; do
  case $1 in
    -s|--seconds) seconds=${2:-}; shift 2 || true ;;
    -f|--fast) fast=1; shift ;;
    --start) start=${2:-}; shift 2 || true ;;
    --rate) rate=${2:-}; shift 2 || true ;;
    -h|--help) usage; exit 0 ;;
    *) echo "demo.sh: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
  esac
done
[[ -n $seconds ]] || { [[ $fast == 1 ]] && seconds=8 || seconds=20; }
[[ $seconds =~ ^[1-9][0-9]*$ ]] || { echo "demo.sh: --seconds wants a whole number above 0" >&2; exit 2; }
[[ $rate =~ ^[1-9][0-9]*$ ]] || { echo "demo.sh: --rate wants a whole number above 0" >&2; exit 2; }
[[ $start =~ ^([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]$ ]] || { echo "demo.sh: --start wants HH:MM:SS" >&2; exit 2; }

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh
build=${QOR_BUILD_DIR:-build}
echo "demo   | building qortimer and qorlisten in $build"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
{ [[ -f $build/CMakeCache.txt ]] || cmake -S . -B "$build"; } > "$log" 2>&1 &&
  cmake --build "$build" --target qortimer qorlisten -j"$(nproc)" >> "$log" 2>&1 ||
  { cat "$log" >&2; echo "demo.sh: the build failed" >&2; exit 1; }
rm -f "$log"
daemon=$(cd "$build" && pwd)/qortimer
listen=$(cd "$build" && pwd)/tools/qorlisten

fake_lib= fake_spec=
if [[ $fast == 1 ]]; then
  for f in $(dpkg -L libfaketime 2>/dev/null | grep '/libfaketime\.so\.1$' || true) \
           /usr/lib/*/faketime/libfaketime.so.1 /usr/lib/faketime/libfaketime.so.1; do
    [[ -f $f ]] && { fake_lib=$f; break; }
  done
  [[ -n $fake_lib ]] || { echo "demo.sh: libfaketime.so.1 not found" >&2; exit 1; }
  fake_spec="@$(date +%F) $start x$rate"
fi

echo "demo   | qortimer -v examples/timers.txt and qorlisten for $seconds s in a private network namespace"
if [[ $fast == 1 ]]; then
  echo "demo   | accelerated clock: the daemon's day starts at $start UTC and runs $rate times faster;"
  echo "demo   | the listener's times of receipt stay real"
fi
exec scripts/netns-run "$0" --inside "$daemon" "$listen" "$root/examples/timers.txt" \
  "$seconds" "$fake_lib" "$fake_spec"

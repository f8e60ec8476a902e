#!/usr/bin/env bash
# latency.sh [SECONDS]
# Measures how late the daemon's commands arrive and how much processor
# time it uses, in busy mode and in idle mode (QORTIMER_IDLE=1), on the
# real clock, inside a private network namespace (see netns-run). For each
# mode it runs the release build on a schedule of 4 entries for SECONDS
# (default 30) next to bench/qor_latency, which records for every datagram
# its kernel receive time stamp minus the start of the second its calendar
# stamp names (leaving out the first pass, which runs at start-up, anywhere
# in its second), polling without sleep so that no wake-up of its own is
# charged to the daemon's sends. The daemon's processor use comes from /proc/PID/stat. The
# last line is the summary:
#   latency: busy_p50_us=.. busy_p99_us=.. idle_p50_us=.. idle_p99_us=.. busy_cpu_pct=.. idle_cpu_pct=..
# $QOR_LATENCY_DAEMON runs another daemon binary instead of the build's.
set -euo pipefail

if [[ ${1:-} == --inside ]]; then
  daemon=$2 receiver=$3 seconds=$4
  work=$(mktemp -d)
  pid=
  cleanup() {
    [[ -n $pid ]] && kill -KILL "$pid" 2>/dev/null
    wait 2>/dev/null || true
    rm -rf "$work"
  }
  trap cleanup EXIT
  cat > "$work/timers.txt" <<'EOF'
porch lamp 1800 2300
boiler heater 2200 0600
garden pump 0000 0000
office fan 0800 1700
EOF
  ticks_per_s=$(getconf CLK_TCK)
  summary=latency:
  cpu=
  for mode in busy idle; do
    idle=0
    [[ $mode == idle ]] && idle=1
    "$receiver" 1962 "$((seconds + 1))" > "$work/$mode.txt" &
    receiver_pid=$!
    for _ in $(seq 100); do
      [[ -n $(ss -Hunl 'sport = :1962') ]] && break
      sleep 0.02
    done
    start=$(date +%s.%N)
    (cd "$work" && exec env QORTIMER_IDLE=$idle "$daemon" timers.txt) > /dev/null &
    pid=$!
    sleep "$seconds"
    # Fields 14 and 15 of /proc/PID/stat: user and system time, in ticks.
    read -r -a stat < "/proc/$pid/stat"
    end=$(date +%s.%N)
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null || true
    pid=
    wait "$receiver_pid" || { echo "latency: no datagram received in $mode mode" >&2; exit 1; }
    line=$(tail -n 1 "$work/$mode.txt")
    echo "$mode: $line"
    p50=$(sed -n 's/.*p50_us=\([0-9]*\).*/\1/p' <<< "$line")
    p99=$(sed -n 's/.*p99_us=\([0-9]*\).*/\1/p' <<< "$line")
    pct=$(awk -v u="${stat[13]}" -v s="${stat[14]}" -v hz="$ticks_per_s" -v a="$start" -v b="$end" \
      'BEGIN { printf "%.1f", 100 * (u + s) / hz / (b - a) }')
    echo "$mode: processor use $pct % of $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }') s"
    summary+=" ${mode}_p50_us=$p50 ${mode}_p99_us=$p99"
    cpu+=" ${mode}_cpu_pct=$pct"
  done
  echo "$summary$cpu"
  exit 0
fi

cd "$(dirname "$0")/.."
seconds=${1:-30}
[[ $seconds =~ ^[1-9][0-9]*$ ]] || { echo "latency.sh: SECONDS must be a whole number above 0" >&2; exit 2; }
scripts/install-deps.sh
build=${QOR_LATENCY_BUILD_DIR:-build-latency}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQOR_BUILD_TESTS=OFF > /dev/null
cmake --build "$build" -j"$(nproc)" --target qortimer qor_latency > /dev/null
daemon=$(realpath "${QOR_LATENCY_DAEMON:-$build/qortimer}")
exec scripts/netns-run "$0" --inside "$daemon" "$(realpath "$build/bench/qor_latency")" "$seconds"

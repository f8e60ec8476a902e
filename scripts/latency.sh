#!/usr/bin/env bash
# latency.sh [SECONDS]
# Measures how late the daemon's commands arrive and how much processor
# time it uses, in busy mode and in idle mode (QORTIMER_IDLE=1), against the
# floor of this machine, on the real clock, inside a private network
# namespace (see netns-run). The floor is bench/qor_floor: a bare sender of
# the daemon's burst (one command per entry) at every 5th turn of the
# second, which does nothing else. Five runs of SECONDS each (default 30):
# the floor, then the release build of the daemon on a schedule of 4
# entries in busy and in idle mode, then in idle mode while every core is
# kept busy by an ordinary process spinning at the default priority, in the
# normal class (loaded) and in the service's real-time class (loaded_rt:
# chrt -f 10, the class the service asks for with QORTIMER_REALTIME=10),
# which needs root. Beside each, bench/qor_latency records
# for every datagram its kernel receive time stamp minus the start of the
# second its calendar stamp names (leaving out the first burst, which the
# daemon sends at start-up, anywhere in its second), polling without sleep
# so that no wake-up of its own is charged to the sender. The daemon's
# processor use comes from /proc/PID/stat. The last line is the summary:
#   latency: busy_p50_us=.. busy_p99_us=.. idle_p50_us=.. idle_p99_us=.. busy_cpu_pct=.. idle_cpu_pct=.. floor_p50_us=.. floor_p99_us=.. busy_ratio_p99=.. idle_ratio_p99=.. loaded_p50_us=.. loaded_p99_us=.. loaded_rt_p50_us=.. loaded_rt_p99_us=.. loaded_ratio_p99=..
# where a ratio is that mode's p99 over the quiet floor's (loaded_ratio_p99:
# loaded_rt's). Budgets: busy_ratio_p99, idle_ratio_p99 and
# loaded_ratio_p99 at most 1.5 and idle_cpu_pct at most 0.5. Over budget,
# the script says which on the error stream and exits 3 after the summary.
# $QOR_LATENCY_DAEMON runs another daemon binary instead of the build's.
set -euo pipefail

if [[ ${1:-} == --inside ]]; then
  daemon=$2 receiver=$3 floor=$4 seconds=$5
  work=$(mktemp -d)
  pid= spinners=()
  cleanup() {
    [[ -n $pid ]] && kill -KILL "$pid" 2>/dev/null
    ((${#spinners[@]} == 0)) || kill -KILL "${spinners[@]}" 2>/dev/null
    wait 2>/dev/null || true
    rm -rf "$work"
  }
  trap cleanup EXIT
  printf '%s\n' "porch lamp 1800 2300" "boiler heater 2200 0600" "garden pump 0000 0000" \
    "office fan 0800 1700" > "$work/timers.txt"
  # The floor's burst: a command for each pair, as long as the daemon's.
  mapfile -t targets < <(awk '{ print $1 "-" $2 "-OFF" }' "$work/timers.txt")
  ticks_per_s=$(getconf CLK_TCK)
  declare -A p50 p99 cpu
  for mode in floor busy idle loaded loaded_rt; do
    if [[ $mode == loaded* ]]; then  # every core busy with ordinary work
      for _ in $(seq "$(nproc)"); do
        (while :; do :; done) &
        spinners+=($!)
      done
    fi
    "$receiver" 1962 "$((seconds + 1))" > "$work/$mode.txt" &
    receiver_pid=$!
    for _ in $(seq 100); do
      [[ -n $(ss -Hunl 'sport = :1962') ]] && break
      sleep 0.02
    done
    start=$(date +%s.%N)
    if [[ $mode == floor ]]; then
      "$floor" "$seconds" "${targets[@]}" &
    else
      idle=1 class=()
      [[ $mode == busy ]] && idle=0
      [[ $mode == loaded_rt ]] && class=(chrt -f 10)
      (cd "$work" && exec env QORTIMER_IDLE=$idle "${class[@]}" "$daemon" timers.txt) > /dev/null &
    fi
    pid=$!
    sleep "$seconds"
    # Fields 14 and 15 of /proc/PID/stat: user and system time, in ticks.
    # The floor has ended by now, and its processor time is of no interest.
    stat=()
    [[ $mode == floor ]] || read -r -a stat < "/proc/$pid/stat"
    end=$(date +%s.%N)
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=
    if ((${#spinners[@]} > 0)); then
      kill -KILL "${spinners[@]}" && wait "${spinners[@]}" 2>/dev/null || true
      spinners=()
    fi
    wait "$receiver_pid" || { echo "latency: no datagram received from the $mode run" >&2; exit 1; }
    line=$(tail -n 1 "$work/$mode.txt")
    echo "$mode: $line"
    p50[$mode]=$(sed -n 's/.*p50_us=\([0-9]*\).*/\1/p' <<< "$line")
    p99[$mode]=$(sed -n 's/.*p99_us=\([0-9]*\).*/\1/p' <<< "$line")
    [[ $mode == floor ]] && continue
    cpu[$mode]=$(awk -v u="${stat[13]}" -v s="${stat[14]}" -v hz="$ticks_per_s" -v a="$start" -v b="$end" \
      'BEGIN { printf "%.1f", 100 * (u + s) / hz / (b - a) }')
    echo "$mode: processor use ${cpu[$mode]} % of $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }') s"
  done
  ratio() { awk -v m="${p99[$1]}" -v f="${p99[floor]}" 'BEGIN { printf "%.2f", m / f }'; }
  busy_ratio=$(ratio busy) idle_ratio=$(ratio idle) loaded_ratio=$(ratio loaded_rt)
  over=
  above() { awk -v v="$1" -v limit="$2" 'BEGIN { exit !(v > limit) }'; }
  above "$busy_ratio" 1.5 && over+=" busy_ratio_p99=$busy_ratio>1.5"
  above "$idle_ratio" 1.5 && over+=" idle_ratio_p99=$idle_ratio>1.5"
  above "$loaded_ratio" 1.5 && over+=" loaded_ratio_p99=$loaded_ratio>1.5"
  above "${cpu[idle]}" 0.5 && over+=" idle_cpu_pct=${cpu[idle]}>0.5"
  [[ -z $over ]] || echo "latency: over budget:$over" >&2
  echo "latency: busy_p50_us=${p50[busy]} busy_p99_us=${p99[busy]} idle_p50_us=${p50[idle]}" \
    "idle_p99_us=${p99[idle]} busy_cpu_pct=${cpu[busy]} idle_cpu_pct=${cpu[idle]}" \
    "floor_p50_us=${p50[floor]} floor_p99_us=${p99[floor]} busy_ratio_p99=$busy_ratio" \
    "idle_ratio_p99=$idle_ratio loaded_p50_us=${p50[loaded]} loaded_p99_us=${p99[loaded]}" \
    "loaded_rt_p50_us=${p50[loaded_rt]} loaded_rt_p99_us=${p99[loaded_rt]} loaded_ratio_p99=$loaded_ratio"
  [[ -z $over ]] || exit 3
  exit 0
fi

# The real-time class needs root.
[[ $(id -u) == 0 ]] || exec sudo "$0" "$@"
cd "$(dirname "$0")/.."
seconds=${1:-30}
[[ $seconds =~ ^[1-9][0-9]*$ ]] || { echo "latency.sh: SECONDS must be a whole number above 0" >&2; exit 2; }
scripts/install-deps.sh
build=${QOR_LATENCY_BUILD_DIR:-build-latency}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQOR_BUILD_TESTS=OFF > /dev/null
cmake --build "$build" -j"$(nproc)" --target qortimer qor_latency qor_floor > /dev/null
daemon=$(realpath "${QOR_LATENCY_DAEMON:-$build/qortimer}")
exec scripts/netns-run "$0" --inside "$daemon" "$(realpath "$build/bench/qor_latency")" \
  "$(realpath "$build/bench/qor_floor")" "$seconds"

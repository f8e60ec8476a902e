#!/usr/bin/env bash
# check-syscalls.sh [SECONDS [DAEMON_ARG...]]
# Checks that the daemon can run under the service's sandbox: runs it for
# SECONDS (10) under strace, inside a private network namespace, from a
# scratch directory, with the unit's Environment= settings, then the
# environment this script is given (for instance QORTIMER_IDLE=1), a
# service manager's notification socket ($NOTIFY_SOCKET) as the unit has,
# and the arguments given (examples/timers.txt by default). Then checks the
# trace against the unit (contrib/qortimer.service.in, or $QOR_UNIT): every
# system call against its SystemCallFilter= lines, expanded by
# systemd-analyze; every socket against RestrictAddressFamilies=; no write
# outside the working directory (ProtectSystem=strict); no path under
# /proc, /sys, /home, /root or /tmp. The daemon must still be running at
# the end, having said READY=1 and sent and logged at least one command,
# and with QORTIMER_LOG_SYNC=1 have flushed the log once after each pass's
# records.
# And what the loop may call: in each whole second in which nothing is
# sent, only the clocks, idle mode's sleep and, when following the timer
# file, one stat() of it (the minute's checks aside).
# The unit's wait for a synchronized clock is cut to 3 s unless
# QORTIMER_CLOCK_WAIT is given: `scripts/check-syscalls.sh 15` checks the
# service's settings, its wait included. The watchdog's time is the unit's
# WatchdogSec=, and its pings must arrive.
# The paths a healthy run never takes, fallbacks after a refusal, are
# traced by making the refusal: QOR_INJECT="CALL:error=E:when=N ..." has
# strace fail those calls (strace -e inject=), and QOR_SAID="TEXT" is what
# the daemon must then say, e.g.
#   QOR_INJECT=sched_setscheduler:error=EPERM:when=1 QOR_SAID='Real-time scheduling refused'
# for a system that refuses the real-time class.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ ${1:-} != --inside ]]; then
  scripts/install-deps.sh strace socat
  build=${QOR_BUILD_DIR:-build}
  cmake -S . -B "$build" >/dev/null
  cmake --build "$build" -j"$(nproc)" --target qortimer >/dev/null
  seconds=${1:-10}
  shift $(($# > 0 ? 1 : 0))
  (($# > 0)) || set -- "$PWD/examples/timers.txt"
  exec scripts/netns-run "$0" --inside "$(realpath "${QOR_UNIT:-contrib/qortimer.service.in}")" \
    "$(realpath "$build/qortimer")" "$seconds" "$@"
fi
unit=$2 daemon=$3 seconds=$4
shift 4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check-syscalls: FAILED: $*" >&2; exit 1; }

# The system calls of a set, nested sets expanded, or a call itself.
expand() {
  local name
  [[ $1 == @* ]] || { echo "$1"; return; }
  systemd-analyze syscall-filter "$1" | tail -n +2 | grep -v '^ *#' | while read -r name; do
    [[ -n $name ]] && expand "$name"
  done
}
# The filter as systemd builds it from an allow list: in the order of the
# lines, each adds its calls, or takes them away when it begins with ~.
[[ $(sed -n 's/^SystemCallFilter=//p' "$unit" | head -n 1) == [^~]* ]] ||
  fail "$unit has no SystemCallFilter= allow list first"
: >"$work/allowed"
while IFS= read -r line; do
  read -ra sets <<<"${line#\~}"
  for set in "${sets[@]}"; do expand "$set"; done | sort -u >"$work/line"
  if [[ $line == ~* ]]; then comm -23 "$work/allowed" "$work/line"; else sort -u "$work/allowed" "$work/line"; fi >"$work/next"
  mv "$work/next" "$work/allowed"
done < <(sed -n 's/^SystemCallFilter=//p' "$unit")
families=$(sed -n 's/^RestrictAddressFamilies=//p' "$unit")
[[ -v QORTIMER_CLOCK_WAIT ]] || export QORTIMER_CLOCK_WAIT=3
while IFS='=' read -r name value; do
  [[ -v $name ]] || export "$name=$value"
done < <(sed -n 's/^Environment=//p' "$unit")
watchdog=$(sed -n 's/^WatchdogSec=\([0-9]*\)s\?$/\1/p' "$unit")
[[ -n $watchdog ]] || fail "$unit has no WatchdogSec= in whole seconds"
inject=()
for spec in ${QOR_INJECT:-}; do inject+=(-e "inject=$spec"); done

mkdir "$work/run"
socat -u UNIX-RECV:"$work/notify" OPEN:"$work/notified",creat &
notified=$!
trap 'kill "$notified" 2>/dev/null; rm -rf "$work"' EXIT
for _ in {1..50}; do [[ -S $work/notify ]] && break; sleep 0.1; done
(cd "$work/run" && NOTIFY_SOCKET=$work/notify WATCHDOG_USEC=$((watchdog * 1000000)) timeout -s TERM "$seconds" \
  strace -f -ttt -qq "${inject[@]}" -o "$work/timed" "$daemon" "$@" >"$work/out" 2>&1) && rc=0 || rc=$?
sed -E 's/^([0-9]+) +[0-9.]+ /\1 /' "$work/timed" >"$work/trace"
pid=$(awk 'NR == 1 { print $1 }' "$work/trace")
if kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid"; fi
[[ $rc == 124 ]] || { cat "$work/out" >&2; fail "the daemon ended with status $rc before ${seconds}s"; }

sed -nE 's/^[0-9]+ +([a-z0-9_]+)\(.*/\1/p' "$work/trace" | sort | uniq -c | sort -rn >"$work/calls"
echo "check-syscalls: $(wc -l <"$work/calls") distinct system calls in ${seconds}s:"
awk '{ printf "  %s %s\n", $2, $1 }' "$work/calls"
outside=$(awk '{ print $2 }' "$work/calls" | sort | comm -23 - "$work/allowed")
[[ -z $outside ]] || fail "outside SystemCallFilter: ${outside//$'\n'/ }"

while read -r family; do
  [[ " $families " == *" $family "* ]] || fail "a socket of family $family, not in RestrictAddressFamilies"
done < <(sed -nE 's/^[0-9]+ +socket\(([A-Z0-9_]+),.*/\1/p' "$work/trace" | sort -u)
writes=$(grep -E '^[0-9]+ +(open|openat|creat)\(' "$work/trace" | grep -E 'O_(WRONLY|RDWR|CREAT)' |
  grep -vE '\((AT_FDCWD, )?"[^/]' || true)
[[ -z $writes ]] || fail "writes outside the working directory: $writes"
# Paths the calls named, but for the daemon itself and its arguments.
sed -nE 's/^[0-9]+ +[a-z0-9_]+\((AT_FDCWD, )?"([^"]*)".*/\2/p' "$work/trace" | sort -u |
  grep -vxF -e "$daemon" "${@/#/-e}" >"$work/paths" || true
hidden=$(grep -E '^/(proc|sys|home|root|tmp)(/|$)' "$work/paths" || true)
[[ -z $hidden ]] || fail "reaches what the unit hides: ${hidden//$'\n'/ }"
grep -qE '^[0-9]+ +sendto\(.*\) = [1-9]' "$work/trace" || fail "no datagram was sent"
grep -q '^qorctrl command ' "$work/run/qortimerlog.txt" || fail "no command was logged"
grep -q '^READY=1$' "$work/notified" || fail "READY=1 never reached the service manager"
pings=$(grep -o 'WATCHDOG=1' "$work/notified" | wc -l)
((pings >= seconds * 4 / watchdog - 1)) || fail "$pings watchdog pings in ${seconds}s, with WatchdogSec=${watchdog}s"
[[ -z ${QOR_SAID:-} ]] || grep -qF "$QOR_SAID" "$work/out" ||
  { cat "$work/out" >&2; fail "with ${QOR_INJECT:-nothing} refused, the daemon never said \"$QOR_SAID\""; }

# Each whole second from the first send to the end: what it called when it
# sent nothing, and how often it looked at the timer file.
quiet=$(awk -v injecting="${QOR_INJECT:+1}" -v file="\"${*: -1}\"" -v following="${QORTIMER_FOLLOW:-0}" '
  { second = int($2); call = $3; sub(/\(.*/, "", call) }
  !start && /sendto\(.*qorctrl/ { start = second }
  !start { next }
  { last = second }
  /sendto\(.*qorctrl/ { sent[second] = 1 }
  /\/etc\/localtime/ { minute[second] = 1 }
  call ~ /stat/ && index($0, file) { looked[second]++; next }
  call == "sendto" && /"WATCHDOG=1"/ { next }
  # A refusal made on purpose is said, and its fallback changes the class.
  injecting && call ~ /^(write|sched_getscheduler|sched_setscheduler)$/ { next }
  call !~ /^(clock_gettime|clock_nanosleep|restart_syscall)$/ { other[second] = other[second] " " call }
  END {
    for (s = start + 1; s < last; s++) {
      if (looked[s] != (following == 1)) { print "looked at the timer file " looked[s] + 0 " times in a second"; bad = 1 }
      if (sent[s] || minute[s]) continue
      quiet++
      if (other[s] != "") { print "called" other[s] " in a second that sent nothing"; bad = 1 }
    }
    if (!bad) print quiet + 0
    exit bad }' "$work/timed") || fail "${quiet//$'\n'/; }"
echo "check-syscalls: READY=1, then $(grep -c "^STATUS=" "$work/notified") STATUS= lines and $pings watchdog pings;" \
  "$quiet seconds that sent nothing called only the clocks$( ((${QORTIMER_FOLLOW:-0} == 1)) &&
  echo ", idle mode's sleep and one stat() of the timer file" || echo " and idle mode's sleep")"
# The log's flushes: with QORTIMER_LOG_SYNC=1 one after each pass's sends
# and records (S sends, W records, F a flush), without it none.
order=$(sed -nE 's/^[0-9]+ +(sendto)\([0-9]+, "qorctrl .*/\1/p; s/^[0-9]+ +(fdatasync)\(.*/\1/p; s/^[0-9]+ +write\(([3-9]|[1-9][0-9]+),.*/W/p' "$work/trace" |
  sed 's/sendto/S/; s/fdatasync/F/' | tr -d '\n')
if [[ ${QORTIMER_LOG_SYNC:-0} == 1 ]]; then
  [[ $order =~ ^((S+W+)+F)+S*W*$ ]] || fail "flushes out of order (S send, W record, F flush): $order"
else
  [[ $order != *F* ]] || fail "the log flushed without QORTIMER_LOG_SYNC=1: $order"
fi
echo "check-syscalls: every call within the filter, sockets only of $families, writes only in the working directory"

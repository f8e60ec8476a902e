#!/usr/bin/env bash
# test-system-guest.sh: the guest half of test-system.sh, run as root by the
# guest's test unit under systemd, with the package (v1.deb) and the same
# package one version later (v2.deb) beside it. Runs each scenario on the
# installed package and prints "QORSYS NAME ok WHAT" or "QORSYS NAME FAILED:
# WHY" for the host to check, then the log's records as "QORSYS rec STAMPS
# TARGET" for the host to match against what its receiver heard.
# shellcheck disable=SC2016  # awk programs and dpkg-query formats
say() { echo "QORSYS $*"; }
here=$(dirname "$0") bad='' diag=''
expect() { local what=$1; shift; "$@" || bad+="; $what"; } # WHAT CMD...: a failure unless CMD succeeds
pkg() { dpkg "$@" </dev/null >/tmp/dpkg.out 2>&1 || bad+="; dpkg $*: $(tail -n 1 /tmp/dpkg.out)"; }
report() { # NAME WHAT; the service's journal after the first failure
  if [[ -z $bad ]]; then say "$1 ok $2"; else say "$1 FAILED: ${bad#; }"; fi
  [[ -z $bad || -n $diag ]] || journalctl -u qortimer -n 12 -o short-monotonic --no-pager | sed 's/^/QORSYS diag /'
  diag=$diag$bad bad=
}
prop() { systemctl show -p "$1" --value qortimer; }
ended() { # how the service's main process last ended
  if [[ $(prop ExecMainCode) == 1 ]]; then echo "exited with status $(prop ExecMainStatus)"
  else echo "was killed by SIG$(kill -l "$(prop ExecMainStatus)" 2>&1)"; fi
}
is() { [[ $(prop "$1") == "$2" ]]; }
waitfor() { local n=$1; shift; until "$@"; do ((n-- > 0)) || return 1; sleep 1; done; } # SECONDS CMD...
sleep_until() { (($1 <= EPOCHSECONDS)) || sleep $(($1 - EPOCHSECONDS)); }
hhmm() { printf '%(%H%M)T' "$1"; }
log=/var/log/qortimer/qortimerlog.txt settings=/etc/default/qortimer schedule=/etc/qortimer/timers.txt

read -r up _ </proc/uptime
say boot "$up"
for nic in /sys/class/net/*; do nic=${nic##*/} && [[ $nic != lo ]] && break; done
ip addr add 192.168.0.2/24 broadcast 192.168.0.255 dev "$nic" && ip link set "$nic" up

pkg -i "$here/v1.deb"
expect "not enabled" [ "$(systemctl is-enabled qortimer)" = enabled ]
expect "started without a schedule: $(prop ActiveState)" is ActiveState inactive
expect "start not tried or not stopped by its condition" is ConditionResult no
report install "enabled, and its start stopped by the condition while $schedule is missing"

# A schedule whose two pairs change state at the first minute at least 20 s
# away and again a minute later: lamp is ON for just that minute, pump for
# every minute but that one.
c1=$(((EPOCHSECONDS + 20 + 59) / 60 * 60))
c2=$((c1 + 60))
printf 'lamp porch %s %s\npump garden %s %s\n' "$(hhmm $((c1 - 60)))" "$(hhmm "$c2")" \
  "$(hhmm "$c1")" "$(hhmm "$c1")" >"$schedule"
# No time server answers on this network: the daemon starts at once.
sed -i 's/^#\?QORTIMER_CLOCK_WAIT=.*/QORTIMER_CLOCK_WAIT=0/' "$settings"
t0=$EPOCHSECONDS
systemctl start qortimer
waitfor 30 test -s "$log"
pid=$(prop MainPID)
expect "not active: $(prop ActiveState)" is ActiveState active
expect "Seccomp $(awk '/^Seccomp:/ { print $2 }' "/proc/$pid/status"), not 2" grep -q '^Seccomp:.2$' "/proc/$pid/status"
expect "capabilities $(grep CapEff "/proc/$pid/status")" grep -q '^CapEff:.0*$' "/proc/$pid/status"
expect "runs as root" awk '/^Uid:/ { exit $2 == 0 }' "/proc/$pid/status"
expect "QORTIMER_IDLE=1 not in its environment" grep -qzx QORTIMER_IDLE=1 "/proc/$pid/environ"
# Fields 40 and 41 of its stat: the real-time priority and the class (1:
# SCHED_FIFO). A container as Docker makes one, without CAP_SYS_NICE (bit
# 23) or a real-time limit, refuses the class: the service runs on in the
# normal class and says so.
class=$(awk '{ print $40, $41 }' "/proc/$pid/stat")
if (((16#$(awk '/^CapBnd:/ { print $2 }' /proc/1/status) >> 23) & 1)); then
  expect "priority and class $class, not 10 and SCHED_FIFO" test "$class" = "10 1"
  granted="SCHED_FIFO 10"
else
  expect "priority and class $class, not 0 and the normal class" test "$class" = "0 0"
  waitfor 5 eval '[[ $(prop StatusText) == *"; normal class: real-time refused" ]]'
  expect "status \"$(prop StatusText)\" does not say the normal class" \
    eval '[[ $(prop StatusText) == *"; normal class: real-time refused" ]]'
  refusal=$(journalctl -u qortimer -o cat --no-pager | grep -m 1 -F 'Real-time scheduling refused')
  expect "the refusal not in the journal" test -n "$refusal"
  granted="the normal class without CAP_SYS_NICE, said:$refusal"
fi
uid=$(awk '/^Uid:/ { print $2 }' "/proc/$pid/status") run=$bad bad=

# Rotation while it runs: once now, once after the daemon reopened its log
# at the next minute; each record stays in one of the files. The rule
# renames, and the new log is the daemon's own.
first=$(head -n 1 "$log")
logrotate -f /etc/logrotate.d/qortimer
expect "the first record not in $log.1" grep -qxF "$first" "$log.1"
read -r up0 _ </proc/uptime
cpu0=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
sleep 20
read -r up1 _ </proc/uptime
cpu1=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
expect "the daemon $pid ended during the measurement" test -n "$cpu0" -a -n "$cpu1"
pct=$(awk -v c=$((cpu1 - cpu0)) -v hz="$(getconf CLK_TCK)" -v t="$up1" -v t0="$up0" \
  'BEGIN { printf "%.2f", 100 * c / hz / (t - t0) }')
expect "daemon used $pct% of a processor, above 10%" awk -v p="$pct" 'BEGIN { exit !(p < 10) }'
report idle "daemon $pct% of a processor over $(awk -v a="$up0" -v b="$up1" 'BEGIN { printf "%.1f", b - a }') s"
sleep_until $((c1 + 8))
expect "no new log after the first rotation" test -s "$log"
expect "new log owned by $(stat -c %u "$log"), not the daemon's $uid" test "$(stat -c %u "$log")" = "$uid"
logrotate -f /etc/logrotate.d/qortimer
sleep_until $((c2 + 12))
expect "no new log after the second rotation" test -s "$log"
expect "rotated logs missing: $(cd /var/log/qortimer && echo *)" test -s "$log.1" -a -s "$log.2.gz"
report rotation "twice while running; the daemon reopened its log each time"
bad=$run
expect "restarted $(prop NRestarts) times; its main process $(ended)" is NRestarts 0
expect "not active at the end: $(prop ActiveState)" is ActiveState active
report run "$((EPOCHSECONDS - t0)) s active as user $uid, no restarts, Seccomp 2, CapEff 0, idle mode, $granted"
t1=$EPOCHSECONDS
systemctl stop qortimer
say window "$t0" "$t1" "$c1" "$c2"

# The service as its operator meets it, each block on the window's schedule
# and ending with the service stopped: Debian's package tests, an edit taken
# without a restart, a bad edit refused, and a log left ending in a cut
# record.
cp "$schedule" /tmp/window
journal() { journalctl -u qortimer --since "@$1" -o cat --no-pager | grep -m 1 -F "$2"; } # SINCE TEXT
said() { journal "$@" >/dev/null; }
status_is() { [[ $(prop StatusText) =~ $1 ]]; } # REGEX
stamp() { grep "QORTIMER-$1-" "$log" | sed -n "1s/^qorctrl command [^ ]* \([0-9a-f]*\)-.*/\1/p"; } # PAIR: first sent
grown() { (($(stat -c %s "$log") > $1)); }
save() { printf '%s\n' "$@" >"$schedule.new" && mv "$schedule.new" "$schedule"; } # LINE...: as an editor saves

# Debian's package tests (debian/tests) on the installed package: the
# status line, a reload onto a bad file, a good edit taken and whole records
# are theirs. Through autopkgtest on this system as it is (its null server)
# where the root has it; else each test as autopkgtest runs it: as root,
# from the tree, with a scratch directory removed after it, failed by a
# status other than 0 or by anything on stderr.
scenario_debian() {
  local tree=$here/source tests test scratch rc how summary=''
  if command -v autopkgtest >/dev/null; then
    : >/etc/apt/sources.list  # no mirror answers here: apt sees only the archive autopkgtest makes of v1.deb
    autopkgtest -B "$here/v1.deb" "$tree" -- null >/tmp/autopkgtest.out 2>&1 && rc=0 || rc=$?
    summary=$(awk '/@@@ summary$/ { on = 1; next } /^autopkgtest \[/ { on = 0 } on && NF { printf ",%s:%s", $1, $2 }' \
      /tmp/autopkgtest.out)
    expect "autopkgtest ended with status $rc" test "$rc" = 0
    [[ -z $bad ]] || grep -E '^FAIL|FAIL$|badpkg|ERROR' /tmp/autopkgtest.out | tail -n 8 | sed 's/^/QORSYS diag /'
    how="autopkgtest $(dpkg-query -W -f '${Version}' autopkgtest) (null)"
  else
    mapfile -t tests < <(sed -n 's/^Tests: *//p' "$tree/debian/tests/control" | tr -s ' ,' '\n')
    expect "no tests in $tree/debian/tests/control" test "${#tests[@]}" -gt 0
    for test in "${tests[@]}"; do
      scratch=$(mktemp -d)
      AUTOPKGTEST_TMP=$scratch "$tree/debian/tests/$test" >/tmp/test.out 2>/tmp/test.err && rc=0 || rc=$?
      rm -rf "$scratch"
      if [[ $rc == 0 && ! -s /tmp/test.err ]]; then summary+=",$test:PASS"; else
        summary+=",$test:FAIL" bad+="; $test: status $rc, $(tail -n 2 /tmp/test.err | tr '\n' ' ')"
      fi
    done
    how="as autopkgtest runs them"
  fi
  say tests "${summary#,}"
  report debian "$how: ${summary#,}"
}

scenario_follow() {
  local pid saved first
  sleep_until $((t1 + 2))  # the window's records end at t1; this run's begin after it
  started=$EPOCHSECONDS
  systemctl restart qortimer || bad+="; start failed"
  sleep_until $((started + 7))  # repeats before the save, too
  pid=$(prop MainPID) saved=$EPOCHSECONDS
  save "$(cat /tmp/window)" 'fan hall 0000 0000'
  waitfor 12 grep -q QORTIMER-fan-hall- "$log"
  first=$(stamp fan-hall)
  expect "fan hall not sent within 12 s of the save" test -n "$first"
  expect "no word of the new pair" said "$saved" 'Pair (fan hall) added'
  sleep 12
  expect "restarted: main process $(prop MainPID), not $pid" test "$(prop MainPID)" = "$pid"
  say edit "$started" "$saved" "$EPOCHSECONDS"
  report follow "fan hall sent $((16#${first:-0} - saved)) s after the save, without a restart"
}

scenario_refused() {
  local pid since lamps msg
  pid=$(prop MainPID) since=$EPOCHSECONDS
  echo 'lamp porch 0800' >>"$schedule"  # rewritten in place
  waitfor 12 said "$since" refused
  msg=$(journal "$since" 'WARNING reading')
  expect "the refusal names no line" test -n "$msg"
  waitfor 3 status_is '^EDIT REFUSED'
  expect "status \"$(prop StatusText)\" tells no refusal" status_is '^EDIT REFUSED'
  lamps=$(grep -c QORTIMER-lamp-porch- "$log")
  sleep 6
  expect "lamp porch no longer sent" test "$(grep -c QORTIMER-lamp-porch- "$log")" -gt "$lamps"
  expect "not active: $(prop ActiveState)" is ActiveState active
  expect "restarted: main process $(prop MainPID), not $pid" test "$(prop MainPID)" = "$pid"
  report refused "still active, old pairs sent; journal: $msg"
  save "$(cat /tmp/window)"
}

# An upload cut off mid-line, then a file emptied, as an interrupted copy or
# a full disk leaves them: neither is taken, each is named once, a reload
# onto one fails, and the old pairs go on being sent.
scenario_halfsaved() {
  local pid since lamps rc
  pid=$(prop MainPID) since=$EPOCHSECONDS lamps=$(grep -c QORTIMER-lamp-porch- "$log")
  printf 'garden pump 0300 04' >"$schedule"
  waitfor 12 said "$since" 'ends mid-line, a save cut short'
  expect "the cut save not named in the journal" said "$since" 'ends mid-line, a save cut short'
  waitfor 3 status_is '^EDIT INCOMPLETE'
  expect "status \"$(prop StatusText)\" names no cut save" status_is '^EDIT INCOMPLETE'
  systemctl reload qortimer 2>/dev/null && rc=0 || rc=$?
  expect "a reload onto the cut save answered 0" test "$rc" != 0
  : >"$schedule"
  waitfor 12 said "$since" 'is empty, a save cut short'
  expect "the emptied file not named in the journal" said "$since" 'is empty, a save cut short'
  waitfor 12 eval '(($(grep -c QORTIMER-lamp-porch- "$log") > lamps + 1))'
  expect "lamp porch no longer sent" test "$(grep -c QORTIMER-lamp-porch- "$log")" -gt "$((lamps + 1))"
  expect "the cut save taken: garden pump sent" eval '! grep -q QORTIMER-garden-pump- "$log"'
  expect "a pair removed" eval '! said "$since" removed'
  expect "restarted: main process $(prop MainPID), not $pid" test "$(prop MainPID)" = "$pid"
  save "$(cat /tmp/window)"
  waitfor 6 status_is '^2 pairs'
  expect "the whole save after it not taken: \"$(prop StatusText)\"" status_is '^2 pairs'
  report halfsaved "cut and emptied saves named, not taken, old pairs sent; reload answered $rc"
}

# A daemon that stops making passes (SIGSTOP, at a moment it sleeps between
# two passes, so that no command is cut from its record) is killed by the
# watchdog and started again, and the new one sends every pair at once.
scenario_watchdog() {
  local pid restarts limit since call k new up first
  pid=$(prop MainPID) restarts=$(prop NRestarts) limit=$(prop WatchdogUSec)
  limit=${limit%s}  # "20s"
  [[ $limit =~ ^[0-9]+$ ]] || { bad+="; WatchdogSec $limit, not whole seconds"; limit=0; }
  # Stopped (state T) inside clock_nanosleep: 230 on amd64, 265 or 407 (time64) on armhf.
  # Under load a stop takes effect only once the daemon runs again.
  for ((k = 0; k < 50; k++)); do
    kill -STOP "$pid" && since=$EPOCHSECONDS
    for ((n = 0; n < 200; n++)); do [[ $(awk '{ print $3 }' "/proc/$pid/stat") == T ]] && break; sleep 0.01; done
    read -r call _ <"/proc/$pid/syscall"
    [[ $call =~ ^(230|265|407)$ ]] || ((k == 49)) && break  # the last try stays stopped
    kill -CONT "$pid" && sleep 0.13
  done
  waitfor 90 eval '[[ $(prop MainPID) != "$pid" && $(prop MainPID) != 0 && $(prop ActiveState) == active ]]'
  new=$(prop MainPID) up=$((EPOCHSECONDS - since))
  expect "not restarted in 90 s: $(prop ActiveState), main process $new" test "$new" != "$pid" -a "$new" != 0
  expect "restarted after $up s, not within ${limit} s, RestartSec and 15 s" test "$up" -le $((limit + 10 + 15))
  expect "restarts $(prop NRestarts), not $((restarts + 1))" is NRestarts $((restarts + 1))
  expect "no watchdog timeout in the journal" said "$since" 'Watchdog timeout'
  sleep 3
  # The pairs in the first second of records after the stop: the new daemon's first pass.
  first=$(while read -r _ _ target stamps _; do
    ((16#${stamps%%-*} > since)) && echo "$((16#${stamps%%-*})) ${target%-*}"
  done <"$log" | sort -n | awk 'NR == 1 { t = $1 } $1 == t { n++ } END { print n + 0 }')
  expect "the new daemon's first second sent $first pairs, not 2" test "$first" = 2
  report watchdog "stopped daemon killed and started again after $up s (WatchdogSec ${limit} s), both pairs sent at once"
}

scenario_cutlog() {
  local size since
  systemctl stop qortimer
  head -n 1 "$log" | cut -c 1-30 | tr -d '\n' >>"$log"  # a record cut short, as a power cut leaves one
  size=$(stat -c %s "$log") since=$EPOCHSECONDS
  systemctl start qortimer
  waitfor 10 grown "$((size + 1))"
  systemctl stop qortimer
  expect "no warning of the cut record" said "$since" "ends mid-record at byte $size"
  expect "the cut record not on a line of its own" \
    test "$(tail -c +"$((size - 29))" "$log" | head -n 1 | wc -c)" = 31
  expect "the next record not whole on a line of its own" \
    grep -qx 'qorctrl command [^ ]* [^ ]* ([0-9]* [0-9]*)' <(tail -c +"$((size + 2))" "$log" | head -n 1)
  report cutlog "the cut record kept on a line of its own at byte $size, the next record whole after it"
}

took=$EPOCHSECONDS
for scenario in debian follow refused halfsaved watchdog cutlog; do "scenario_$scenario"; done
say took "$((EPOCHSECONDS - took))"
cp /tmp/window "$schedule"

cp "$schedule" /tmp/good
echo 'lamp porch 2500 0900' >"$schedule"
since=$EPOCHSECONDS
systemctl restart qortimer 2>/dev/null && rc=0 || rc=$?
expect "the restart onto it answered 0" test "$rc" != 0
waitfor 30 is ActiveState failed
expect "exit status $(prop ExecMainStatus), not 1" is ExecMainStatus 1
sleep 15
expect "restarted: $(prop ActiveState) $(prop SubState), $(prop NRestarts) restarts" is SubState failed
expect "restarted $(prop NRestarts) times" is NRestarts 0
msg=$(journalctl -u qortimer --since "@$since" -o cat --no-pager | grep -m 1 -F '*** ERROR reading')
expect "no message in the journal" test -n "$msg"
report bad "restart answered $rc, failed once, status 1, not restarted in 15 s; journal: $msg"

cp /tmp/good "$schedule"
systemctl restart qortimer
waitfor 30 is ActiveState active
pid=$(prop MainPID)
pkg -i "$here/v2.deb"
v2=$(dpkg-deb -f "$here/v2.deb" Version)
expect "version $(dpkg-query -W -f '${Version}' qortimer), not $v2" \
  test "$(dpkg-query -W -f '${Version}' qortimer)" = "$v2"
expect "edited $settings not kept" grep -qx QORTIMER_CLOCK_WAIT=0 "$settings"
waitfor 30 is ActiveState active
expect "not restarted onto the new version" test "$(prop MainPID)" != "$pid" -a "$(prop MainPID)" != 0
expect "QORTIMER_IDLE=1 lost" grep -qzx QORTIMER_IDLE=1 "/proc/$(prop MainPID)/environ"
report upgrade "to $v2, restarted, the edited $settings kept"
pid=$(prop MainPID)

cp "$schedule" /tmp/mine
pkg -r qortimer
expect "unit still there: $(prop LoadState)" is LoadState not-found
expect "daemon still running" test ! -e "/proc/$pid"
expect "programs left" test ! -e /usr/bin/qortimer -a ! -e /usr/bin/qorlisten
expect "$settings removed before the purge" test -e "$settings"
expect "schedule not kept" cmp -s /tmp/mine "$schedule"
report remove "stopped and unit gone, the settings and the schedule kept"
for file in /var/log/qortimer/qortimerlog.txt*; do
  zcat -f "$file" | sed -n 's/^qorctrl command \([^ ]*\) \([^ ]*\) .*/QORSYS rec \2 \1/p'
done

pkg -P qortimer
for path in "$settings" /etc/logrotate.d/qortimer /var/log/qortimer /var/log/private/qortimer; do
  expect "$path left" test ! -e "$path" -a ! -L "$path"
done
expect "schedule not kept" cmp -s /tmp/mine "$schedule"
left=$(find / -xdev -name '*qortimer*' ! -path '/etc/qortimer*' | tr '\n' ' ')
expect "left: $left" test -z "$left"
report purge "settings, logrotate rule and log gone, the operator's $schedule kept"

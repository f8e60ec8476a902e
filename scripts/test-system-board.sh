#!/usr/bin/env bash
# test-system-board.sh: the guest half of test-system.sh's board boots, run
# as root by the guest's test unit on the emulated armhf board, with the
# package (qortimer.deb) beside it. The kernel's command line names the boot
# (qorboot=NAME):
#   clock  the board's clock is hours wrong and a time server answers at
#          192.168.0.1 once asked: the service as shipped waits for it;
#   cutK   boot K of a root disk that keeps its state: cut1 installs the
#          package, the others come after a power cut; each says
#          "QORSYS ready" when the host may cut the power again, once it
#          has set the log's flushes (QORTIMER_LOG_SYNC) for the next boot
#          as qorsyncs= lists them, one a boot;
#   last   the boot after the last cut.
# Prints "QORSYS NAME ok WHAT" or "QORSYS NAME FAILED: WHY" for the host,
# and the figures it measured as "QORSYS NAME FIGURES".
# shellcheck disable=SC2016  # awk programs
say() { echo "QORSYS $*"; }
here=$(dirname "$0") bad=''
expect() { local what=$1; shift; "$@" || bad+="; $what"; } # WHAT CMD...: a failure unless CMD succeeds
report() { # NAME WHAT; the service's journal after a failure
  if [[ -z $bad ]]; then say "$1 ok $2"; else say "$1 FAILED: ${bad#; }"; fi
  [[ -z $bad ]] || journalctl -b -u qortimer -n 12 -o short-monotonic --no-pager | sed 's/^/QORSYS diag /'
  bad=
}
prop() { systemctl show -p "$1" --value qortimer; }
is() { [[ $(prop "$1") == "$2" ]]; }
waitfor() { local n=$1; shift; until "$@"; do ((n-- > 0)) || return 1; sleep 1; done; } # SECONDS CMD...
said() { journalctl -b -u qortimer -o cat --no-pager | grep -F -- "$1"; } # TEXT: the daemon's lines with it
log=/var/log/qortimer/qortimerlog.txt settings=/etc/default/qortimer schedule=/etc/qortimer/timers.txt
before=/run/qorsys-log-before  # the log as the last cut left it, copied before the service starts
setting() { sed -i "s/^#\?$1=.*/$1=$2/" "$settings"; }
stamp() { sed -n "$1"'s/^qorctrl command [^ ]* \([0-9a-f]*\)-.*/\1/p' "$log" | tail -n 1; } # [LINE]: a record's calendar stamp, hexadecimal

boot=$(sed -n 's/.* qorboot=\([a-z0-9]*\).*/\1/p' /proc/cmdline)
IFS=, read -ra syncs <<<"$(sed -n 's/.* qorsyncs=\([0-9,]*\).*/\1/p' /proc/cmdline)"
read -r up _ </proc/uptime
say boot "$up $boot"
for nic in /sys/class/net/*; do nic=${nic##*/} && [[ $nic != lo ]] && break; done
ip addr add 192.168.0.2/24 broadcast 192.168.0.255 dev "$nic" && ip link set "$nic" up
echo 1 >/proc/sys/kernel/sched_schedstats  # each task's time blocked in the kernel

# The cost of the log's records over SECONDS of the running service, and
# whether it flushes them: "bursts=N block_ms=B cpu_ms=C", B the time the
# daemon spent blocked (a flush waits for the disk), C its processor time.
cost() {
  local pid b0 b1 c0 c1 s0 s1
  pid=$(prop MainPID)
  b0=$(awk '/sum_block_runtime/ { print $3 }' "/proc/$pid/sched") c0=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
  s0=$EPOCHSECONDS
  sleep "$1"
  b1=$(awk '/sum_block_runtime/ { print $3 }' "/proc/$pid/sched") c1=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
  s1=$EPOCHSECONDS
  # The passes that wrote records: the distinct stamps of the interval.
  n=$(sed -n 's/^qorctrl command [^ ]* \([0-9a-f]*\)-.*/\1/p' "$log" | sort -u |
    while read -r t; do (($((16#$t)) > s0 && $((16#$t)) <= s1)) && echo; done | wc -l)
  echo "bursts=$n block_ms=$(awk -v a="$b0" -v b="$b1" 'BEGIN { printf "%.1f", b - a }')" \
    "cpu_ms=$(((c1 - c0) * 1000 / $(getconf CLK_TCK)))"
}

case $boot in
clock)
  dpkg -i "$here/qortimer.deb" </dev/null >/tmp/dpkg.out 2>&1 || bad+="; dpkg -i: $(tail -n 1 /tmp/dpkg.out)"
  printf 'lamp porch 0000 0000\npump garden 1200 1200\n' >"$schedule"
  wrong=$EPOCHSECONDS
  systemctl start qortimer
  waitfor 20 said 'Clock not synchronized; waiting up to 300 s' >/dev/null
  expect "no word of the wait: $(journalctl -b -u qortimer -o cat --no-pager | tail -n 2)" said 'waiting up to 300 s for it'
  sleep 10
  expect "not active while it waits: $(prop ActiveState)" is ActiveState active
  expect "logged while it waits" test ! -s "$log"
  # The time server becomes reachable: the guest's own time service asks it.
  mkdir -p /etc/systemd/timesyncd.conf.d
  printf '[Time]\nNTP=192.168.0.1\n' >/etc/systemd/timesyncd.conf.d/qorsys.conf
  systemctl restart systemd-timesyncd
  waitfor 90 test -s "$log"
  synced=$(stat -c %Y /run/systemd/timesync/synchronized 2>/dev/null) first=$(stamp 1)
  expect "no synchronization by systemd-timesyncd" test -n "$synced"
  expect "no record" test -n "$first"
  first=$((16#${first:-0}))
  expect "the first command $((first - synced)) s after the synchronization" test $((first - synced)) -ge 0 -a $((first - synced)) -le 3
  msg=$(said 'Clock synchronized after')
  expect "no word of the synchronization" test -n "$msg"
  sleep 20
  expect "restarted $(prop NRestarts) times" is NRestarts 0
  report clock "stepped by $((synced - wrong - 10)) s or so; first command $((first - synced)) s after the synchronization; journal: $msg"
  say clock-figures "synced=$synced first=$first"
  ;;
cut1)
  dpkg -i "$here/qortimer.deb" </dev/null >/tmp/dpkg.out 2>&1 || bad+="; dpkg -i: $(tail -n 1 /tmp/dpkg.out)"
  # No time server on this network: the daemon waits 20 s, then starts.
  # The first cuts find the records left to the file system.
  setting QORTIMER_CLOCK_WAIT 20 && setting QORTIMER_LOG_SYNC "${syncs[0]}"
  # Before the service starts, a copy of the log as the cut left it.
  printf '%s\n' '[Unit]' 'Before=qortimer.service' '[Service]' 'Type=oneshot' \
    "ExecStart=/bin/sh -c 'cp /var/log/private/qortimer/qortimerlog.txt $before || :'" \
    '[Install]' 'WantedBy=multi-user.target' >/etc/systemd/system/qorsys-log-before.service
  systemctl -q enable qorsys-log-before.service
  # 40 pairs, each repeated every 5 s for 300 s after the daemon starts.
  for i in $(seq 40); do echo "lamp$i porch 0000 0000"; done >"$schedule"
  sync  # the set-up is on the disk: a cut may only take the log's records
  start=$EPOCHSECONDS
  systemctl start qortimer
  waitfor 60 test -s "$log"
  first=$(stamp 1)
  first=$((16#${first:-0}))
  msg=$(said 'Clock still not synchronized after 20 s; starting anyway')
  expect "no word of giving up: $(said Clock)" test -n "$msg"
  expect "the first command $((first - start)) s after the start, not 20 to 22" test $((first - start)) -ge 20 -a $((first - start)) -le 22
  report wait "no time server: the first command $((first - start)) s after the start; journal: $msg"
  ;;
cut* | last)
  # The service came back by itself, nothing failed, and the log goes on
  # after what the cut left: a cut record or NUL bytes are said once, and
  # the first new record stands on a line of its own.
  waitfor 60 is ActiveState active
  size=$(stat -c %s "$before" 2>/dev/null || echo 0)
  waitfor 60 test "$(stat -c %s "$log")" -gt "$size"
  failed=$(systemctl list-units --state=failed --no-legend --plain | awk '{ print $1 }' | tr '\n' ' ')
  expect "failed: $failed" test -z "$failed"
  expect "restarted $(prop NRestarts) times" is NRestarts 0
  expect "the log before the cut changed" cmp -s -n "$size" "$before" "$log"
  last=$( ((size > 0)) && tail -c 1 "$before" | od -An -c | tr -d ' ')
  nuls=$(tail -c 8192 "$before" | od -An -v -tx1 | tr -s ' \n' '\n' | grep . |
    awk '$1 == "00" { n++; next } { n = 0 } END { print n + 0 }')
  warned=$(said 'ends mid-record')
  if ((size > 0)) && [[ $last != '\n' ]]; then
    damage="a cut record" && ((nuls > 0)) && damage="$nuls NUL bytes"
    text=" *** WARNING: Logfile (qortimerlog.txt) ends mid-record at byte $size"
    ((nuls > 0)) && text+=", after $nuls NUL bytes"
    text+="; the next record starts on a new line"
    expect "said \"$warned\", not once \"$text\"" test "$warned" = "$text"
    expect "no line end after the damage" test "$(tail -c +$((size + 1)) "$log" | head -c 1 | od -An -c | tr -d ' ')" = '\n'
    size=$((size + 1))
  else
    damage=none
    expect "said \"$warned\" of a whole log" test -z "$warned"
  fi
  expect "the first new record glued: $(tail -c +$((size + 1)) "$log" | head -c 40 | od -An -c | tr -s ' ' | head -c 80)" \
    test "$(tail -c +$((size + 1)) "$log" | head -c 16)" = 'qorctrl command '
  k=${boot#cut} && [[ $boot == last ]] && k=$((${#syncs[@]} + 1))
  report "after$((k - 1))" "$damage at byte $(stat -c %s "$before" 2>/dev/null || echo 0); the service back by itself, nothing failed"
  ;;
esac

case $boot in
cut*)
  waitfor 60 test -s "$log"
  say "$boot-cost" "sync=$(sed -n 's/^QORTIMER_LOG_SYNC=//p' "$settings") $(cost 20)"
  k=${boot#cut}
  [[ -z ${syncs[k]:-} ]] || { setting QORTIMER_LOG_SYNC "${syncs[k]}" && sync; }
  say ready
  sleep 600
  ;;
esac

#!/usr/bin/env bash
# test-system.sh [amd64|armhf|all|roots|deps]
# The package as shipped, under a real systemd as PID 1: in a Debian 12
# container that grants no real-time class (amd64, systemd-nspawn without
# CAP_SYS_NICE) and on an emulated board (armhf, qemu-system-arm with
# Debian's ARM kernel), both at once with `all`. In each, the guest's test
# unit runs scripts/test-system-guest.sh on the package: install, run, idle
# processor use, Debian's package tests (debian/tests, through autopkgtest
# in the container), an edited schedule taken, a bad edit refused, a save
# cut short not taken, a hung daemon restarted by the watchdog, a log
# ending in a cut record, a bad schedule,
# rotation, upgrade, removal and purge, one "QORSYS" line each on the
# console, which this script checks. The guest's
# one link ends inside a private network namespace (see netns-run), where
# this machine's qorlisten verifies every command it sends. The roots are
# cached in /var/cache/qortimer-test and rebuilt after a week, after a build
# that did not finish, or when the way they are made changes. `roots` only
# makes them (CI, while the host's suites run); `deps` only installs and
# fetches what this script needs on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
cache=${QOR_SYSTEM_CACHE:-/var/cache/qortimer-test}
mirror=${QOR_SYSTEM_MIRROR:-http://deb.debian.org/debian}
work=$PWD/build-system
listener=$PWD/${QOR_BUILD_DIR:-build}/tools/qorlisten
say() { echo "test-system: $*"; }
die() { say "$*" >&2; exit 1; }

# Inside the namespace: the receiver, then the guest, each wait bounded.
if [[ ${1:-} == --inside ]]; then
  arch=$2 dir=$3
  if [[ $(readlink /proc/self/ns/net) == "$(readlink /proc/1/ns/net)" ]] || ! ip link show qor1 >/dev/null; then
    die "not inside the private network namespace of netns-run; refusing to boot a guest"
  fi
  # The guest's link joins a bridge that takes over qor0's address: left
  # on both, each broadcast would be delivered to the receiver twice.
  ip addr flush dev qor0 && ip link add qorbr type bridge
  ip addr add 192.168.0.1/24 broadcast 192.168.0.255 dev qorbr && ip link set qorbr up
  TZ=UTC "$listener" -t 3600 >"$dir/heard" 2>"$dir/listen.err" &
  listen=$!
  if [[ $arch == armhf ]]; then
    ip tuntap add dev qortap mode tap && ip link set qortap master qorbr up
    qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -smp 2 -m 512 -nodefaults -display none \
      -no-reboot -kernel "$cache/armhf/vmlinuz" -initrd "$cache/armhf/initrd.img" \
      -append "root=LABEL=qorsys rw console=ttyAMA0 panic=-1 fsck.mode=skip" \
      -drive "if=none,id=root,format=raw,snapshot=on,file=$cache/armhf/root.img" \
      -device virtio-blk-device,drive=root \
      -drive "if=none,id=load,format=raw,readonly=on,file=$dir/payload.img" \
      -device virtio-blk-device,drive=load \
      -netdev tap,id=net,ifname=qortap,script=no,downscript=no -device virtio-net-device,netdev=net \
      -serial "file:$dir/console" &
    bounds=(300 1200)
  else
    # A container as Docker makes one: no CAP_SYS_NICE, no CAP_SYS_RESOURCE
    # to raise a real-time limit of 0.
    systemd-nspawn -q -b -D "$cache/amd64/root" --volatile=overlay --register=no --keep-unit \
      --drop-capability=CAP_SYS_NICE,CAP_SYS_RESOURCE --rlimit=RLIMIT_RTPRIO=0 \
      -M qorsys --network-bridge=qorbr --bind-ro="$dir/payload:/qorsys" </dev/null >"$dir/console" 2>&1 &
    bounds=(120 900)
  fi
  guest=$!
  # Until the guest ends, PATTERN (if any) shows on its console, or SECONDS pass.
  wait_guest() { # SECONDS [PATTERN]
    local end=$((SECONDS + $1))
    while kill -0 "$guest" 2>/dev/null; do
      [[ -n ${2:-} ]] && grep -aqs "$2" "$dir/console" && return 0
      ((SECONDS < end)) || { echo "stopped after $1 s" >"$dir/timeout"; return 1; }
      sleep 1
    done
  }
  if wait_guest "${bounds[0]}" 'QORSYS boot'; then wait_guest "${bounds[1]}" || true; fi
  kill -TERM "$guest" 2>/dev/null && { sleep 10; kill -KILL "$guest" 2>/dev/null; }
  wait "$guest" || true
  kill -TERM "$listen" || true
  wait "$listen" && echo 0 >"$dir/listen.rc" || echo $? >"$dir/listen.rc"
  exit 0
fi

# Inside the namespace: the board's own conditions on the emulated armhf
# board, each a boot of its own while one receiver hears them all. First a
# clock three hours slow, with a time server on this side (chrony serving
# this machine's clock, never setting it: -x); then boots of a root disk
# that keeps its state (an overlay on the cached root), each but the last
# ended by a power cut (SIGKILL of the emulator) once the guest is ready,
# DELAY seconds after a burst of its commands arrives: 0 cuts at a second
# it sends, more between two. The boot's service flushes its log or not
# (QORTIMER_LOG_SYNC) as SYNCS says; the guest sets it (qorsyncs=). DIR/boots
# and DIR/cuts get each boot's and each cut's time.
if [[ ${1:-} == --board-inside ]]; then
  dir=$2 chronyd=$3 syncs=$4 delays=$5
  read -ra delays <<<"$delays"
  cuts=${#delays[@]}
  if [[ $(readlink /proc/self/ns/net) == "$(readlink /proc/1/ns/net)" ]] || ! ip link show qor1 >/dev/null; then
    die "not inside the private network namespace of netns-run; refusing to boot a guest"
  fi
  ip addr flush dev qor0 && ip link add qorbr type bridge
  ip addr add 192.168.0.1/24 broadcast 192.168.0.255 dev qorbr && ip link set qorbr up
  ip tuntap add dev qortap mode tap && ip link set qortap master qorbr up
  TZ=UTC "$listener" -t 7200 >"$dir/heard" 2>"$dir/listen.err" &
  listen=$!
  guest=
  trap '[[ -z $guest ]] || kill -KILL "$guest" 2>/dev/null; kill -TERM "$listen" "${chrony:-}" 2>/dev/null' EXIT
  board() { # NAME DRIVE [QEMU_ARG...]: boots the board with qorboot=NAME; $guest is the emulator
    local name=$1 drive=$2
    shift 2
    echo "$name $(date +%s.%N)" >>"$dir/boots"
    qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -smp 2 -m 512 -nodefaults -display none \
      -no-reboot -kernel "$cache/armhf/vmlinuz" -initrd "$cache/armhf/initrd.img" \
      -append "root=LABEL=qorsys rw console=ttyAMA0 panic=-1 fsck.mode=skip qorboot=$name qorsyncs=${syncs// /,}" \
      -drive "if=none,id=root,$drive" -device virtio-blk-device,drive=root \
      -drive "if=none,id=load,format=raw,readonly=on,file=$dir/payload.img" \
      -device virtio-blk-device,drive=load \
      -netdev tap,id=net,ifname=qortap,script=no,downscript=no -device virtio-net-device,netdev=net \
      -serial "file:$dir/$name.console" "$@" &
    guest=$!
  }
  # Until the guest shows PATTERN on its console (or ends, when none is
  # given), or SECONDS pass; false when they pass or it ends first.
  until_guest() { # NAME SECONDS [PATTERN]
    local end=$((SECONDS + $2))
    while kill -0 "$guest" 2>/dev/null; do
      [[ -n ${3:-} ]] && grep -aqs "$3" "$dir/$1.console" && return 0
      ((SECONDS < end)) || { echo "$1 stopped after $2 s" >>"$dir/timeout"; kill -KILL "$guest"; wait "$guest" 2>/dev/null; return 1; }
      sleep 0.5
    done
    wait "$guest"
    [[ -z ${3:-} ]] || grep -aqs "$3" "$dir/$1.console"
  }

  printf '%s\n' 'local stratum 8' 'allow 192.168.0.0/24' 'bindaddress 192.168.0.1' 'cmdport 0' \
    'bindcmdaddress /' "pidfile $dir/chronyd.pid" >"$dir/chrony.conf"
  "$chronyd" -x -d -u root -f "$dir/chrony.conf" >"$dir/chrony.log" 2>&1 &
  chrony=$!
  board clock "format=raw,snapshot=on,file=$cache/armhf/root.img" -rtc "base=$(date -u -d '-3 hours' +%Y-%m-%dT%H:%M:%S)"
  until_guest clock 300 'QORSYS boot' && until_guest clock 600
  kill -TERM "$chrony" && wait "$chrony" || true
  chrony=

  qemu-img create -q -f qcow2 -F raw -b "$cache/armhf/root.img" "$dir/disk.qcow2"
  for ((k = 1; k <= cuts; k++)); do
    board "cut$k" "format=qcow2,file=$dir/disk.qcow2"
    until_guest "cut$k" 300 'QORSYS boot' && until_guest "cut$k" 600 'QORSYS ready' || break
    heard=$(wc -l <"$dir/heard") end=$((SECONDS + 12))
    while (($(wc -l <"$dir/heard") == heard && SECONDS < end)); do sleep 0.01; done
    sleep "${delays[k - 1]}"
    kill -KILL "$guest" && echo "cut$k $(date +%s.%N)" >>"$dir/cuts"
    wait "$guest" 2>/dev/null || true
  done
  board last "format=qcow2,file=$dir/disk.qcow2"
  until_guest last 300 'QORSYS boot' && until_guest last 600
  guest=
  exit 0
fi

# Making roots, booting a container and a tap all need root.
[[ $(id -u) == 0 ]] || exec sudo "$0" "$@"
start=$SECONDS
case ${1:-all} in
  all | roots) arches=(amd64 armhf) ;;
  amd64 | armhf) arches=("$1") ;;
  deps) ;;
  *) die "usage: test-system.sh [amd64|armhf|all|roots|deps]" ;;
esac
scripts/install-deps.sh debootstrap qemu-system-arm qemu-user-static qemu-utils systemd-container e2fsprogs

# What makes a root: its packages, the test unit that runs the guest driver,
# and for the board a small initramfs that finds its virtio disk.
packages=systemd,systemd-sysv,dbus,iproute2,libstdc++6,logrotate
board_packages=udev,linux-image-armmp-lpae,systemd-timesyncd
configure_root() {
  local root=$1 unit
  echo qorsys >"$root/etc/hostname"
  mkdir -p "$root/qorsys" "$root/etc/systemd/system/multi-user.target.wants"
  printf '%s\n' '[Unit]' 'Description=qortimer system test' 'After=multi-user.target' \
    'SuccessAction=poweroff-force' 'FailureAction=poweroff-force' \
    '[Service]' 'Type=oneshot' 'TimeoutStartSec=900' 'StandardOutput=journal+console' \
    'ExecStart=/bin/sh -c "[ -e /qorsys/guest.sh ] || mount -o ro LABEL=qorpay /qorsys; exec bash /qorsys/guest.sh"' \
    >"$root/etc/systemd/system/qorsys.service"
  ln -sf ../qorsys.service "$root/etc/systemd/system/multi-user.target.wants/"
  # Nothing else runs on a schedule or asks for a login meanwhile.
  for unit in getty@tty1.service serial-getty@ttyAMA0.service console-getty.service apt-daily.timer \
    apt-daily-upgrade.timer logrotate.timer e2scrub_all.timer fstrim.timer dpkg-db-backup.timer; do
    ln -sf /dev/null "$root/etc/systemd/system/$unit"
  done
}
# shellcheck disable=SC2016  # the hook's own $1 and $m
configure_initramfs() {
  mkdir -p "$1/etc/initramfs-tools/conf.d" "$1/etc/initramfs-tools/hooks"
  echo MODULES=list >"$1/etc/initramfs-tools/conf.d/qorsys"
  printf '%s\n' '#!/bin/sh' '[ "$1" = prereqs ] && exit 0' '. /usr/share/initramfs-tools/hook-functions' \
    'for m in virtio_mmio virtio_blk virtio_net ext4; do force_load $m; done' \
    >"$1/etc/initramfs-tools/hooks/qorsys"
  chmod +x "$1/etc/initramfs-tools/hooks/qorsys"
}
recipe=$(declare -f configure_root configure_initramfs; echo "$packages $board_packages")
recipe=$(sha256sum <<<"$recipe" | cut -c1-16)
# The container also runs Debian's package tests with autopkgtest, which
# unpacks the source tree with dpkg-source.
container_packages=autopkgtest,dpkg-dev
declare -A recipes=([armhf]=$recipe [amd64]=$(sha256sum <<<"$recipe $container_packages" | cut -c1-16))

# debootstrap with every download bounded; its own mounts stay in a mount
# namespace of their own. A failure names what could not be fetched.
bootstrap() {
  local arch=$1 root=$2 include=$3 log=$2.log
  shift 3
  printf 'timeout = 60\ntries = 3\n' >"$cache/wgetrc"
  if ! WGETRC=$cache/wgetrc timeout 1800 unshare -m debootstrap --arch="$arch" --variant=minbase \
    --include="$include" "$@" bookworm "$root" "$mirror" >"$log" 2>&1; then
    grep -E '^[EW]: ' "$log" >&2 || tail -n 5 "$log" >&2
    grep -qE "Couldn't download|Failed getting" "$log" &&
      die "$arch root: could not fetch from $mirror: $(grep -m1 -oE "(Couldn't download|Failed getting).*" "$log")"
    die "$arch root: debootstrap failed (log: $log)"
  fi
}
# Registers qemu-arm with binfmt_misc for the board root's second stage, if
# it is not already, and takes away whatever it added after it, or on exit.
binfmt=/proc/sys/fs/binfmt_misc undo=:
trap 'eval "$undo"' EXIT
binfmt_arm() {
  [[ -e $binfmt/register ]] || { mount -t binfmt_misc binfmt_misc "$binfmt" && undo="umount $binfmt; $undo"; }
  [[ -e $binfmt/qemu-arm ]] ||
    { cat /usr/lib/binfmt.d/qemu-arm.conf >"$binfmt/register" && undo="echo -1 >$binfmt/qemu-arm; $undo"; }
}
fresh() { [[ -f $cache/$1/complete && $(cat "$cache/$1/complete") == "${recipes[$1]}" && -z $(find "$cache/$1/complete" -mtime +6) ]]; }
make_root() {
  local arch=$1 dir=$cache/$1
  fresh "$arch" && return 0
  say "$arch: making the root in $dir"
  rm -rf --one-file-system "$dir" && mkdir -p "$dir"
  if [[ $arch == amd64 ]]; then
    bootstrap amd64 "$dir/root" "$packages,$container_packages"
  else
    bootstrap armhf "$dir/root" "$packages,$board_packages" --foreign
    configure_initramfs "$dir/root"
    binfmt_arm
    timeout 2400 unshare -m nice chroot "$dir/root" /debootstrap/debootstrap --second-stage \
      >"$dir/root.log" 2>&1 || { tail -n 20 "$dir/root.log" >&2; die "armhf root: second stage failed"; }
    eval "$undo" && undo=:
    cp "$dir"/root/boot/vmlinuz-* "$dir/vmlinuz" && cp "$dir"/root/boot/initrd.img-* "$dir/initrd.img"
  fi
  configure_root "$dir/root"
  if [[ $arch == armhf ]]; then
    nice mkfs.ext4 -q -L qorsys -d "$dir/root" "$dir/root.img" 2G >/dev/null
    rm -rf --one-file-system "$dir/root"
  fi
  echo "${recipes[$arch]}" >"$dir/complete"
}

# The host's verdict on one guest: every scenario's line, the receiver's
# count against the log's records, and the cadence of the run.
check() {
  local arch=$1 dir=$work/$1 lines s t c h target t0 t1 c1 c2 failed=0
  lines=$(grep -aoE 'QORSYS .*' "$dir/console" | tr -d '\r' || true)
  if ! grep -q '^QORSYS boot' <<<"$lines"; then
    say "$arch: the guest did not boot$([[ -e $dir/timeout ]] && echo " ($(cat "$dir/timeout"))"); its console ends:"
    tail -n 40 "$dir/console" 2>/dev/null | tr -d '\r'
    return 1
  fi
  for s in install run idle debian follow refused halfsaved watchdog cutlog bad rotation upgrade remove purge; do
    if grep -q "^QORSYS $s ok" <<<"$lines"; then
      say "$arch: ok: $s: $(sed -n "s/^QORSYS $s ok //p" <<<"$lines")"
    else
      say "$arch: FAILED: $s: $(sed -n "s/^QORSYS $s FAILED: //p" <<<"$lines" | grep . ||
        echo "no result$([[ -e $dir/timeout ]] && echo ", guest $(cat "$dir/timeout")")")"
      failed=1
    fi
  done
  ((failed == 0)) || sed -n 's/^QORSYS diag /  /p' <<<"$lines"
  tests=$(sed -n 's/^QORSYS tests //p' <<<"$lines" | grep . || echo -)  # Debian's package tests, as the tier's summary gives them
  # Each record the guest logged: its calendar stamp, pair, state, and the
  # fields the receiver prints for its command.
  local -x TZ=UTC
  sed -n 's/^QORSYS rec //p' <<<"$lines" | while IFS='- ' read -r t c h target; do
    target=${target#*-}
    printf '%d %s %s time=%(%Y-%m-%dT%H:%M:%S)T clock=%u.%06us hash=%s\n' $((16#$t)) "${target%-*}" \
      "${target##*-}" $((16#$t)) $((16#$c / 1000000)) $((16#$c % 1000000)) "$h"
  done | sort -n >"$dir/logged"
  # The receiver heard, verified, exactly what the log recorded.
  cut -d ' ' -f 4- "$dir/logged" | sort >"$dir/logged.keys"
  sed -nE 's/.* (time=\S+ clock=\S+ hash=\S+) verified$/\1/p' "$dir/heard" | sort >"$dir/heard.keys"
  s=$(wc -l <"$dir/heard.keys")
  if [[ $(cat "$dir/listen.rc") == 0 && -s $dir/logged ]] && cmp -s "$dir/heard.keys" "$dir/logged.keys"; then
    say "$arch: ok: receiver: $s commands, each verified and each in the log"
    verified=$((verified + s))
  else
    say "$arch: FAILED: receiver: $(tail -n 1 "$dir/listen.err"); $s verified," \
      "$(wc -l <"$dir/logged") logged, $(comm -3 "$dir/heard.keys" "$dir/logged.keys" | wc -l) unmatched"
    failed=1
  fi
  # The run's cadence: each pair's state changes at once at the two minutes
  # chosen, and its command repeats 5 s apart (6 if a second was missed).
  read -r t0 t1 c1 c2 < <(sed -n 's/^QORSYS window //p' <<<"$lines")
  if s=$(awk -v t0="${t0:-0}" -v t1="${t1:-0}" -v c1="${c1:-0}" -v c2="${c2:-0}" '
      $1 < t0 || $1 > t1 { next }
      $2 in at && $3 == state[$2] && ($1 - at[$2] < 5 || $1 - at[$2] > 6) {
        print $2 " repeated after " $1 - at[$2] " s"; bad = 1 }
      $2 in at && $3 != state[$2] { n[$2]++
        if ($1 < c1 || $1 > c2 + 1 || ($1 - c1) % 60 > 1) { print $2 " changed " $1 - c1 " s after " c1; bad = 1 } }
      { at[$2] = $1; state[$2] = $3 }
      END { for (p in at) { pairs++; if (n[p] != 2) { print p " changed " n[p] + 0 " times, not 2"; bad = 1 } }
            if (pairs != 2) { print pairs + 0 " pairs, not 2"; bad = 1 }
            exit bad }' "$dir/logged"); then
    say "$arch: ok: cadence: each change at once, at its minute, repeats every 5 s"
  else
    say "$arch: FAILED: cadence: ${s//$'\n'/; }"
    failed=1
  fi
  # The edit, by the receiver's stamps: the new pair within 10 s of the
  # save, and the others' repeats 5 s apart (6 if a second was missed) from
  # the daemon's start, across the save, to the end.
  read -r t0 t1 c1 < <(sed -n 's/^QORSYS edit //p' <<<"$lines")
  if s=$(awk -v start="${t0:-0}" -v saved="${t1:-0}" -v end="${c1:-0}" '
      / verified$/ && match($0, /time=[0-9T:-]+/) {
        t = substr($0, RSTART + 5, RLENGTH - 5); gsub(/[-T:]/, " ", t); t = mktime(t)
        split($0, f, " "); pair = f[4] " " f[5]
        if (t <= start || t > end) next  # the daemon before may have sent at `start`
        if (pair == "device=fan channel=hall") { if (!first) first = t; next }
        if (pair in at && (t - at[pair] < 5 || t - at[pair] > 6)) { print pair " repeated after " t - at[pair] " s"; bad = 1 }
        at[pair] = t; n++ }
      END { if (!first || first - saved > 10) { print "fan hall not heard within 10 s of the save"; bad = 1 }
            if (n < 8) { print "only " n + 0 " repeats of the others heard"; bad = 1 }
            if (!bad) print first - saved " s after the save; the other pairs every 5 s across it (" n " commands)"
            exit bad }' "$dir/heard"); then
    say "$arch: ok: edit: fan hall heard $s; the service's scenarios took $(sed -n 's/^QORSYS took //p' <<<"$lines") s"
  else
    say "$arch: FAILED: edit: ${s//$'\n'/; }"
    failed=1
  fi
  if [[ $arch == armhf ]]; then
    boot=$(sed -n 's/^QORSYS boot //p' <<<"$lines")
    idle=$(sed -n 's/^QORSYS idle ok daemon \([0-9.]*\)%.*/\1/p' <<<"$lines" | grep . || echo -)
  fi
  return "$failed"
}

# The time server's program: chronyd, taken from its package without
# installing it where it is not installed (installed, the package would
# start a time service that sets this machine's clock).
chronyd_path() {
  local d=$cache/chrony
  command -v chronyd && return
  if [[ ! -x $d/usr/sbin/chronyd ]]; then
    rm -rf "$d" && mkdir -p "$d"
    (cd "$d" && apt-get download -q chrony >/dev/null) && dpkg-deb -x "$d"/chrony_*.deb "$d" ||
      die "armhf: could not fetch chrony's package"
  fi
  echo "$d/usr/sbin/chronyd"
}

# The board's own conditions (see --board-inside) with the package DEB, and
# the host's verdict: each boot's lines; every command heard during the
# slow clock's boot stamped within 2 s of its arrival; and for each cut the
# records lost (heard, not in the log left on the board's disk), beside
# what the records cost the daemon per burst, with and without flushing
# them. Five cuts: without flushes at a second it sends, 1.5 s and 3.5 s
# after one; with them at a second it sends and 1.5 s after one.
board_conditions() { # DEB
  local dir=$work/board syncs=(0 0 0 1 1) delays=(0 1.5 3.5 0 1.5) cuts=5
  local lines name failed=0 t0 t1 k window lost=() cost
  rm -rf "$dir" && mkdir -p "$dir/payload"
  cp "$1" "$dir/payload/qortimer.deb" && cp scripts/test-system-board.sh "$dir/payload/guest.sh"
  mkfs.ext4 -q -L qorpay -d "$dir/payload" "$dir/payload.img" 64M >/dev/null
  say "armhf: the board's conditions: a clock 3 h slow, then $cuts power cuts"
  scripts/netns-run "$0" --board-inside "$dir" "$(chronyd_path)" "${syncs[*]}" "${delays[*]}"
  lines=$(cat "$dir"/clock.console "$dir"/cut*.console "$dir"/last.console 2>/dev/null | grep -aoE 'QORSYS .*' | tr -d '\r')
  for name in clock wait $(seq -f 'after%g' "$cuts"); do
    if grep -q "^QORSYS $name ok" <<<"$lines"; then
      say "armhf: ok: $name: $(sed -n "s/^QORSYS $name ok //p" <<<"$lines")"
    else
      say "armhf: FAILED: $name: $(sed -n "s/^QORSYS $name FAILED: //p" <<<"$lines" | grep . ||
        echo "no result$([[ -e $dir/timeout ]] && echo " ($(tr '\n' ' ' <"$dir/timeout"))")")"
      failed=1
    fi
  done
  ((failed == 0)) || sed -n 's/^QORSYS diag /  /p' <<<"$lines"
  # Each heard command: its arrival, its calendar stamp (both in seconds
  # since the epoch) and its key, as check() makes them.
  local -x TZ=UTC
  paste -d ' ' <(cut -d ' ' -f 1,2 "$dir/heard" | date -f - +%s.%N) \
    <(sed -n 's/.* time=\([^ ]*\) .*/\1/p' "$dir/heard" | date -f - +%s) \
    <(sed -nE 's/.* (time=\S+ clock=\S+ hash=\S+) .*/\1/p' "$dir/heard") >"$dir/heard.times"
  if [[ $(wc -l <"$dir/heard.times") != $(grep -c ' verified$' "$dir/heard") ]]; then
    say "armhf: FAILED: receiver: $(grep -vc ' verified$' "$dir/heard") commands not verified"
    failed=1
  fi
  read -r t0 t1 < <(awk '$1 == "clock" { a = $2 } $1 == "cut1" { b = $2 } END { print a, b }' "$dir/boots")
  window=$(awk -v a="$t0" -v b="$t1" '$1 >= a && $1 < b { n++; d = $1 - $2; if (d < 0) d = -d; if (d > m) m = d }
    END { printf "%d %.2f", n, m }' "$dir/heard.times")
  if [[ ${window% *} -gt 0 ]] && awk -v m="${window#* }" 'BEGIN { exit !(m <= 2) }'; then
    say "armhf: ok: clock stamps: ${window% *} commands, each stamped within ${window#* } s of its arrival"
  else
    say "armhf: FAILED: clock stamps: ${window% *} commands, one stamped ${window#* } s from its arrival"
    failed=1
  fi
  clock_first=$(sed -n 's/^QORSYS clock-figures synced=\([0-9]*\) first=\([0-9]*\)/\2 \1/p' <<<"$lines" |
    awk '{ print $1 - $2 }' | grep . || echo -)
  # The log as the last boot left it, read from the disk image.
  qemu-img convert -O raw "$dir/disk.qcow2" "$dir/disk.raw" &&
    debugfs -R "dump /var/log/private/qortimer/qortimerlog.txt $dir/qortimerlog.txt" "$dir/disk.raw" 2>/dev/null
  rm -f "$dir/disk.raw"
  [[ -s $dir/qortimerlog.txt ]] || { say "armhf: FAILED: no log on the board's disk"; failed=1; }
  sed -n 's/^qorctrl command [^ ]* \([0-9a-f]*\)-\([0-9a-f]*\)-\([0-9a-f]*\) .*/\1 \2 \3/p' \
    "$dir/qortimerlog.txt" 2>/dev/null | while read -r t c h; do
    printf 'time=%(%Y-%m-%dT%H:%M:%S)T clock=%u.%06us hash=%s\n' $((16#$t)) $((16#$c / 1000000)) $((16#$c % 1000000)) "$h"
  done | sort -u >"$dir/logged.keys"
  for ((k = 1; k <= cuts; k++)); do
    read -r t0 t1 < <(awk -v b="cut$k" '$1 == b { print $2 }' "$dir/boots" "$dir/cuts" | tr '\n' ' ')
    [[ -n $t1 ]] || { lost+=(-); continue; }
    awk -v a="$t0" -v b="$t1" '$1 >= a && $1 < b { print $3, $4, $5 }' "$dir/heard.times" | sort -u >"$dir/cut$k.keys"
    lost+=("$(comm -23 "$dir/cut$k.keys" "$dir/logged.keys" | wc -l)/$(wc -l <"$dir/cut$k.keys")")
    cost=$(sed -n "s/^QORSYS cut$k-cost //p" <<<"$lines")
    say "armhf: cut $k, ${delays[k - 1]} s after a burst arrived: ${lost[-1]} records heard were lost;" \
      "before it, $cost"
  done
  board_lost=$(IFS=,; echo "${lost[*]}")
  return "$failed"
}

# One architecture's tier with the package DEB: the guest's scenarios, and
# on armhf then the board's conditions. Its verdicts and figures go to
# $work/ARCH.result, which the summary reads.
tier() { # ARCH DEB
  local arch=$1 deb=$2 dir=$work/$1 t0=$SECONDS verdict tests=- board=skipped board_s=0 tier_s
  rm -rf "$dir" && mkdir -p "$dir/payload/source" "$dir/v2"
  cp "$deb" "$dir/payload/v1.deb" && cp scripts/test-system-guest.sh "$dir/payload/guest.sh"
  cp -r debian "$dir/payload/source/"  # the package's tests, from the tree as autopkgtest takes it
  # The upgrade: the same package, one version later.
  dpkg-deb -R "$deb" "$dir/v2"
  sed -i 's/^Version: .*/&+1/' "$dir/v2/DEBIAN/control"
  dpkg-deb --root-owner-group -b "$dir/v2" "$dir/payload/v2.deb" >/dev/null
  [[ $arch == amd64 ]] || mkfs.ext4 -q -L qorpay -d "$dir/payload" "$dir/payload.img" 64M >/dev/null
  say "$arch: booting"
  scripts/netns-run "$0" --inside "$arch" "$dir"
  if check "$arch"; then verdict=ok; else verdict=FAILED; fi
  if [[ $arch == armhf ]]; then
    board_s=$SECONDS
    if board_conditions "$deb"; then board=ok; else board=FAILED; fi
    board_s=$((SECONDS - board_s))
  fi
  tier_s=$((SECONDS - t0))
  say "$arch: took $tier_s s"
  declare -p verdict verified tests idle boot board board_s clock_first board_lost tier_s | sed "s/ \([a-z_]*\)=/ ${arch}_\1=/" \
    >"$work/$arch.result"
}

verified=0 idle=- boot=- clock_first=- board_lost=-
mkdir -p "$cache" "$work"
case ${1:-} in
  deps) chronyd_path >/dev/null && exit 0 ;;
  roots)
    for arch in "${arches[@]}"; do make_root "$arch"; done
    say "roots made or fresh in $cache: $((SECONDS - start)) s"
    exit 0
    ;;
esac
cmake -S . -B "${QOR_BUILD_DIR:-build}" -DQOR_WERROR=ON >/dev/null
cmake --build "${QOR_BUILD_DIR:-build}" --target qorlisten >/dev/null
declare -A deb
for arch in "${arches[@]}"; do deb[$arch]=$(scripts/package.sh "$arch" | grep "/qortimer_[^/]*_$arch\.deb$"); done
roots_s=$SECONDS
for arch in "${arches[@]}"; do make_root "$arch"; done
roots_s=$((SECONDS - roots_s))
rm -f "$work"/*.result
# Both tiers side by side: the container waits for its minutes while the
# emulator works; its lines follow the board's.
if ((${#arches[@]} == 2)); then
  say "amd64 and armhf side by side; amd64's lines follow armhf's"
  tier amd64 "${deb[amd64]}" >"$work/amd64.out" 2>&1 &
  side=$!
  tier armhf "${deb[armhf]}" || true
  wait "$side" || true
  cat "$work/amd64.out"
else
  tier "${arches[0]}" "${deb[${arches[0]}]}" || true
fi
declare -A result=([amd64]=skipped [armhf]=skipped [board]=skipped)
for arch in "${arches[@]}"; do
  if [[ -s $work/$arch.result ]]; then
    # shellcheck source=/dev/null
    source "$work/$arch.result"
  fi
done
for arch in "${arches[@]}"; do
  v=${arch}_verdict
  result[$arch]=${!v:-FAILED}
done
[[ ${arches[*]} != *armhf* ]] || result[board]=${armhf_board:-FAILED}
echo "system: amd64=${result[amd64]} armhf=${result[armhf]} verified=$((${amd64_verified:-0} + ${armhf_verified:-0}))" \
  "autopkgtest_amd64=${amd64_tests:--} debian_tests_armhf=${armhf_tests:--}" \
  "idle_cpu_pct_armhf=${armhf_idle:--} boot_s_armhf=${armhf_boot:--} board_armhf=${result[board]}" \
  "clock_first_s=${armhf_clock_first:--} cut_lost=${armhf_board_lost:--} board_s=${armhf_board_s:-0}" \
  "roots_s=$roots_s amd64_s=${amd64_tier_s:--} armhf_s=${armhf_tier_s:--} total_s=$((SECONDS - start))"
[[ ${result[amd64]} != FAILED && ${result[armhf]} != FAILED && ${result[board]} != FAILED ]]

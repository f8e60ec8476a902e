#!/usr/bin/env bash
# test-package.sh [--root]
# Builds the Debian package for this machine and, cross-built, for the board
# (armhf), and fails unless each holds the three programs and lintian finds
# no E: or W: tag in any. --root also checks this machine's package in a
# scratch Debian root (debootstrap, kept in build-deb/root-base): files,
# configuration files, man pages, the unit (verify, offline exposure at most
# 1.5), the logrotate rule, an upgrade keeping an edited configuration file,
# removal and purge. No systemd runs there, so the maintainer scripts only
# enable and disable the unit.
# shellcheck disable=SC2016,SC2317  # dpkg-query's ${Field}s; check runs its commands
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh lintian
host=$(dpkg --print-architecture)
arches=("$host")
[[ $host == armhf ]] || arches+=(armhf)
debs=()  # this machine's first
for arch in "${arches[@]}"; do
  mapfile -t built < <(scripts/package.sh "$arch" | grep '\.deb$')
  ((${#built[@]})) || { echo "test-package: no $arch package was built" >&2; exit 1; }
  contents=$(dpkg-deb -c "$(printf '%s\n' "${built[@]}" | grep '/qortimer_')")
  for program in qortimer qorlisten qorplan; do
    grep -q " \./usr/bin/$program\$" <<<"$contents" ||
      { echo "test-package: the $arch package holds no /usr/bin/$program" >&2; exit 1; }
  done
  debs+=("${built[@]}")
done
lintian -EvIL +pedantic "${debs[@]}" 2>&1 | tee build-deb/lintian.txt
! grep -q '^[EW]: ' build-deb/lintian.txt || { echo "test-package: lintian: E: or W: tags" >&2; exit 1; }
echo "test-package: lintian: no E: or W: tags on ${debs[*]##*/}"
[[ ${1:-} == --root ]] || exit 0

# The same package, one version later.
v1=$(dpkg-parsechangelog -S Version) v2=$(dpkg-parsechangelog -S Version)+1
src=build-deb/upgrade/qortimer
rm -rf build-deb/upgrade && mkdir -p "$src"
tar --exclude-vcs --exclude='./build*' --exclude=./fuzz-work -cf - . | tar -C "$src" -xf -
{ printf 'qortimer (%s) unstable; urgency=medium\n\n  * Rebuilt to test upgrades.\n\n' "$v2"
  printf ' -- %s  %s\n\n' "$(sed -n 's/^Maintainer: //p' debian/control)" "$(date -R)"
  cat debian/changelog; } >"$src/debian/changelog"
(cd "$src" && dpkg-buildpackage -b -us -uc >../build.log 2>&1)

base=build-deb/root-base root=build-deb/root
if [[ ! -x $base/usr/bin/dpkg ]]; then
  scripts/install-deps.sh debootstrap
  debootstrap --variant=minbase --include=systemd,man-db,logrotate,libstdc++6 bookworm "$base"
fi
rm -rf "$root" && cp -a "$base" "$root"
cp "${debs[0]%/*}/qortimer_${v1}_"*.deb "$root/tmp/v1.deb"
cp build-deb/upgrade/qortimer_"${v2}"_*.deb "$root/tmp/v2.deb"
in_root() { chroot "$root" "$@"; }
failed=0
check() {
  local what=$1; shift
  if "$@"; then echo "  ok: $what"; else echo "  FAILED: $what"; failed=1; fi
}
wants=$root/etc/systemd/system/multi-user.target.wants/qortimer.service
man_ok() { in_root man --warnings -l "$1" 2>"$root/tmp/man.err" | grep -q '^SYNOPSIS' && [[ ! -s $root/tmp/man.err ]]; }
exposure() { systemd-analyze security --offline=yes --root="$root" qortimer.service |
  awk '/Overall exposure level/ { print $(NF - 2) }'; }

in_root dpkg -i /tmp/v1.deb
check "programs installed" in_root test -x /usr/bin/qortimer -a -x /usr/bin/qorlisten
check "conffiles: /etc/default/qortimer and /etc/logrotate.d/qortimer" \
  test "$(in_root dpkg-query -W -f='${Conffiles}' qortimer | awk '{ printf "%s ", $1 }')" \
  = "/etc/default/qortimer /etc/logrotate.d/qortimer "
check "service enabled" test -L "$wants"
for page in "$root"/usr/share/man/man*/qor*.gz; do
  check "${page##*/} opens with man -l" man_ok "${page#"$root"}"
done
check "systemd-analyze verify is clean" \
  test -z "$(in_root systemd-analyze verify /lib/systemd/system/qortimer.service 2>&1)"
e=$(exposure)
check "exposure $e at most 1.5" awk -v e="$e" 'BEGIN { exit !(e != "" && e <= 1.5) }'

# logrotate on the log as DynamicUser= lays it out: a directory owned by the
# service's user behind a link. Renamed, not copied, and not recreated.
mkdir -p "$root/var/log/private/qortimer" && chmod 0700 "$root/var/log/private"
ln -s private/qortimer "$root/var/log/qortimer"
echo record >"$root/var/log/qortimer/qortimerlog.txt"
chmod 0640 "$root/var/log/qortimer/qortimerlog.txt"
chown -R 61234:61234 "$root/var/log/private/qortimer"
in_root logrotate -f -s /tmp/logrotate.state /etc/logrotate.d/qortimer
check "logrotate renamed the log" test "$(cat "$root/var/log/qortimer/qortimerlog.txt.1")" = record
check "logrotate made no new log" test ! -e "$root/var/log/qortimer/qortimerlog.txt"

sed -i 's/^#QORTIMER_IDLE=1$/QORTIMER_IDLE=1/' "$root/etc/default/qortimer"
in_root dpkg -i /tmp/v2.deb </dev/null
check "upgraded to $v2" test "$(in_root dpkg-query -W -f='${Version}' qortimer)" = "$v2"
check "upgrade kept the edited settings" grep -qx 'QORTIMER_IDLE=1' "$root/etc/default/qortimer"
check "still enabled after the upgrade" test -L "$wants"

in_root dpkg -r qortimer
check "removed: programs gone" test ! -e "$root/usr/bin/qortimer" -a ! -e "$root/usr/bin/qorlisten"
check "removed: settings kept" test -e "$root/etc/default/qortimer"
in_root dpkg -P qortimer
check "purged: configuration files gone" \
  test ! -e "$root/etc/default/qortimer" -a ! -e "$root/etc/logrotate.d/qortimer"
check "purged: no longer enabled" test ! -L "$wants"
exit "$failed"

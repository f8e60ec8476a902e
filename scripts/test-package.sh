#!/usr/bin/env bash
# test-package.sh [--root]
# Builds the Debian package for this machine and, cross-built, for the board
# (armhf), and fails unless each holds the three programs and lintian finds
# no E: or W: tag in any. --root also checks this machine's package in a
# scratch Debian root (debootstrap, kept in build-deb/root-base): files,
# configuration files, man pages and the unit (verify, offline exposure at
# most 1.5). Rotation, upgrade, removal and purge are checked under a
# running systemd by scripts/test-system.sh.
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

# What needs no running system: files, configuration files, man pages and
# the unit's offline checks. Rotation, upgrade, removal and purge are checked
# under systemd by scripts/test-system.sh.
v1=$(dpkg-parsechangelog -S Version)
base=build-deb/root-base root=build-deb/root
if [[ ! -x $base/usr/bin/dpkg ]]; then
  scripts/install-deps.sh debootstrap
  debootstrap --variant=minbase --include=systemd,man-db,logrotate,libstdc++6 bookworm "$base"
fi
rm -rf "$root" && cp -a "$base" "$root"
cp "${debs[0]%/*}/qortimer_${v1}_"*.deb "$root/tmp/v1.deb"
in_root() { chroot "$root" "$@"; }
failed=0
check() {
  local what=$1; shift
  if "$@"; then echo "  ok: $what"; else echo "  FAILED: $what"; failed=1; fi
}
man_ok() { in_root man --warnings -l "$1" 2>"$root/tmp/man.err" | grep -q '^SYNOPSIS' && [[ ! -s $root/tmp/man.err ]]; }
exposure() { systemd-analyze security --offline=yes --root="$root" qortimer.service |
  awk '/Overall exposure level/ { print $(NF - 2) }'; }

in_root dpkg -i /tmp/v1.deb
check "programs installed" in_root test -x /usr/bin/qortimer -a -x /usr/bin/qorlisten
check "conffiles: /etc/default/qortimer and /etc/logrotate.d/qortimer" \
  test "$(in_root dpkg-query -W -f='${Conffiles}' qortimer | awk '{ printf "%s ", $1 }')" \
  = "/etc/default/qortimer /etc/logrotate.d/qortimer "
for page in "$root"/usr/share/man/man*/qor*.gz; do
  check "${page##*/} opens with man -l" man_ok "${page#"$root"}"
done
check "systemd-analyze verify is clean" \
  test -z "$(in_root systemd-analyze verify /lib/systemd/system/qortimer.service 2>&1)"
e=$(exposure)
check "exposure $e at most 1.5" awk -v e="$e" 'BEGIN { exit !(e != "" && e <= 1.5) }'
exit "$failed"

#!/usr/bin/env bash
# package.sh [ARCH]
# Builds the Debian package of qortimer, qorlisten and qorplan, and its
# -dbgsym, with debhelper (debian/): for this machine, or cross-built for
# the Debian architecture ARCH (armhf for the board). Installs what the
# build needs, builds in a copy of the source tree under build-deb/ARCH,
# and prints the path of each package built, one a line, last. Packages
# already built there from the very same tree are printed, not built again.
set -euo pipefail
cd "$(dirname "$0")/.."
host=$(dpkg --print-architecture)
arch=${1:-$host}
out=build-deb/$arch
source_tree() { tar --exclude-vcs --exclude='./build*' --exclude=./fuzz-work "$@" -cf - .; }
# The tree's names, contents and modes, whatever their times.
tree=$(source_tree --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner | sha256sum | cut -d ' ' -f 1)
if [[ $(cat "$out/tree.sha256" 2>/dev/null) == "$tree" ]] && compgen -G "$out/*.deb" >/dev/null; then
  ls -1 "$out"/*.deb
  exit 0
fi

sudo=()
[[ $(id -u) == 0 ]] || sudo=(sudo)
# Purges the packages of $arch and takes the architecture away.
forget_arch() {
  local pkgs
  mapfile -t pkgs < <(dpkg-query -W -f='${binary:Package}\n' | grep ":$arch\$" || true)
  ((${#pkgs[@]} == 0)) || "${sudo[@]}" dpkg --purge --force-remove-protected "${pkgs[@]}" >/dev/null 2>&1
  "${sudo[@]}" dpkg --remove-architecture "$arch"
}

added=
opts=(-b -us -uc)
scripts/install-deps.sh debhelper pkgconf systemd
if [[ $arch != "$host" ]]; then
  opts+=(-a "$arch" "--build-profiles=cross,nocheck")
  scripts/install-deps.sh "crossbuild-essential-$arch"
  # dpkg-shlibdeps reads the dependencies off the target's own libraries,
  # installed beside the host's (multiarch). An architecture this script
  # adds, it takes away again with its packages, leaving apt as it was.
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    "${sudo[@]}" dpkg --add-architecture "$arch"
    added=yes
    trap forget_arch EXIT
  fi
  scripts/install-deps.sh "libstdc++6:$arch"
fi

rm -rf "$out"
mkdir -p "$out/qortimer"
source_tree | tar -C "$out/qortimer" -xf -
log=$out/build.log
if ! (cd "$out/qortimer" && dpkg-buildpackage "${opts[@]}") > "$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "package.sh: dpkg-buildpackage failed; the whole log is $log" >&2
  exit 1
fi
if [[ -n $added ]]; then
  trap - EXIT
  forget_arch
fi
echo "$tree" >"$out/tree.sha256"
ls -1 "$out"/*.deb

#!/usr/bin/env bash
# package.sh [ARCH]
# Builds the Debian package of qortimer and qorlisten, and its -dbgsym, with
# debhelper (debian/): for this machine, or cross-built for the Debian
# architecture ARCH (armhf for the board). Installs what the build needs,
# builds in a copy of the source tree under build-deb/ARCH, and prints the
# path of each package built, one a line, last.
set -euo pipefail
cd "$(dirname "$0")/.."
host=$(dpkg --print-architecture)
arch=${1:-$host}

sudo=()
[[ $(id -u) == 0 ]] || sudo=(sudo)
deps=(debhelper)
opts=(-b -us -uc)
added=
if [[ $arch != "$host" ]]; then
  # dpkg-shlibdeps reads the dependencies off the target's own libraries,
  # installed beside the host's (multiarch).
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    "${sudo[@]}" dpkg --add-architecture "$arch"
    added=yes
  fi
  deps+=("crossbuild-essential-$arch" "libstdc++6:$arch")
  opts+=(-a "$arch" "--build-profiles=cross,nocheck")
fi
if ! scripts/install-deps.sh "${deps[@]}"; then
  # An architecture whose package lists cannot be fetched fails every later
  # apt-get update on this machine: take it away again.
  if [[ -n $added ]]; then
    "${sudo[@]}" dpkg --remove-architecture "$arch" ||
      echo "package.sh: could not remove the architecture $arch again" >&2
  fi
  echo "package.sh: could not install what the build needs" >&2
  exit 1
fi

out=build-deb/$arch
rm -rf "$out"
mkdir -p "$out/qortimer"
tar --exclude-vcs --exclude='./build*' --exclude=./fuzz-work -cf - . | tar -C "$out/qortimer" -xf -
log=$out/build.log
if ! (cd "$out/qortimer" && dpkg-buildpackage "${opts[@]}") > "$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "package.sh: dpkg-buildpackage failed; the whole log is $log" >&2
  exit 1
fi
ls -1 "$out"/*.deb

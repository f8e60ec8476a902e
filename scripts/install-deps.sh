#!/usr/bin/env bash
# install-deps.sh [PACKAGE...]
# Installs the Debian packages that building and testing need, plus any
# named on the command line, when some are missing. Uses apt-get as root,
# sudo otherwise.
set -euo pipefail
wanted=(cmake make g++ libgtest-dev iproute2 util-linux mount libfaketime tzdata logrotate gzip
        libxml2-utils "$@")
missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[[ ${#missing[@]} == 0 ]] && exit 0
echo "install-deps: installing ${missing[*]}" >&2
sudo=()
if [[ $(id -u) != 0 ]]; then
  command -v sudo >/dev/null || { echo "install-deps: need root or sudo to install ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
# One list that fails to download fails the whole update; apt-get install
# below still fails if what is wanted is in none of the lists it has.
"${sudo[@]}" apt-get update -q ||
  echo "install-deps: some package lists could not be fetched; going on with the rest" >&2
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"

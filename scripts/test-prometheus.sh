#!/usr/bin/env bash
# test-prometheus.sh: the check's figures through Debian's node_exporter.
# In a private network namespace, the real daemon runs for a few seconds on
# a schedule of two pairs while `qorlisten --check --metrics` writes its
# figures into a directory; node_exporter (Debian's prometheus-node-exporter,
# run by hand, on 127.0.0.1 only, with only its textfile collector) reads
# that directory, and its /metrics page must carry every sample of the
# file, with the check OK. Everything started is stopped by its PID.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${QOR_BUILD_DIR:-build}" && pwd)

if [[ ${1:-} != --inside ]]; then
  # The package's own start is refused for the length of the install, so
  # that no node_exporter runs as a service on this machine's network.
  if ! dpkg-query -W -f='${Status}' prometheus-node-exporter 2>/dev/null | grep -q 'ok installed'; then
    policy=/usr/sbin/policy-rc.d added=0
    sudo=(); [[ $(id -u) == 0 ]] || sudo=(sudo)
    if [[ ! -e $policy ]]; then
      printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
      "${sudo[@]}" chmod 755 "$policy"
      added=1
    fi
    status=0
    scripts/install-deps.sh prometheus-node-exporter || status=$?
    [[ $added == 0 ]] || "${sudo[@]}" rm -f "$policy"
    [[ $status == 0 ]] || exit "$status"
  fi
  cmake --build "$build" --target qortimer qorlisten -j2 >/dev/null
  exec scripts/netns-run "$0" --inside
fi

fail() { echo "test-prometheus: FAILED: $*" >&2; exit 1; }
# The guard: nothing starts outside the namespace netns-run makes.
[[ $(ip -o link | awk -F': ' '{ print $2 }' | sed 's/@.*//' | sort | tr '\n' ' ') == "lo qor0 qor1 " ]] &&
  ip -o -4 addr show qor0 | grep -q ' 192\.168\.0\.1/' ||
  fail "not inside the private network namespace of scripts/netns-run"

tmp=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
cd "$tmp"
mkdir textfile
printf 'lamp 1 0800 0900\nfan 2 0000 0000\n' > t.txt
port=9100

"$build/tools/qorlisten" --expect t.txt --check -t 3 --metrics textfile/qortimer.prom > check.txt &
listener=$!
pids+=("$listener")
for _ in $(seq 100); do [[ -n $(ss -Hunl 'sport = :1962') ]] && break; sleep 0.05; done
timeout -k 2 2 "$build/qortimer" t.txt > daemon.txt 2>&1 &
pids+=("$!")
wait "$listener" || fail "the check was not OK: $(cat check.txt)"
[[ -s textfile/qortimer.prom ]] || fail "no metrics file"

timeout 30 prometheus-node-exporter --web.listen-address="127.0.0.1:$port" \
  --collector.disable-defaults --collector.textfile \
  --collector.textfile.directory="$tmp/textfile" > exporter.txt 2>&1 &
pids+=("$!")
fetch() {
  exec 3<>"/dev/tcp/127.0.0.1/$port" || return 1
  printf 'GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' >&3
  cat <&3 > metrics.txt
  exec 3<&-
}
for _ in $(seq 50); do fetch 2>/dev/null && break; sleep 0.1; done
grep -q '^node_textfile_scrape_error 0' metrics.txt || fail "the collector did not read the file: $(cat exporter.txt)"

# Each sample as NAME{LABELS, sorted} VALUE, the value as a number.
samples() {
  grep '^qortimer_' "$1" | awk '{
      name = $1; labels = ""
      if (match(name, /\{.*\}/)) {
        n = split(substr(name, RSTART + 1, RLENGTH - 2), l, ",")
        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (l[j] < l[i]) { t = l[i]; l[i] = l[j]; l[j] = t }
        for (i = 1; i <= n; i++) labels = labels (i > 1 ? "," : "") l[i]
        name = substr(name, 1, RSTART - 1)
      }
      value = $2 ~ /NaN/ ? "NaN" : sprintf("%.6g", $2)
      print name "{" labels "} " value
    }' | sort
}
samples textfile/qortimer.prom > written.txt
samples metrics.txt > served.txt
missing=$(comm -23 written.txt served.txt)
[[ -z $missing ]] || fail "samples of the file missing from /metrics: $missing"
grep -qx 'qortimer_check_status{} 0' served.txt || fail "the check's status is not 0 in /metrics"
grep -q '^qortimer_pair_on{channel="2",device="fan"} [01]$' served.txt || fail "the fan's state is not served"
echo "test-prometheus: $(wc -l < served.txt) samples of the check served by node_exporter; $(cat check.txt)"

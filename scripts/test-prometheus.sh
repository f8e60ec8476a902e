#!/usr/bin/env bash
# test-prometheus.sh: in a private network namespace, the real daemon runs
# for 2 s while `qorlisten --check --metrics` writes its figures into a
# directory; Debian's node_exporter, run by hand on 127.0.0.1 with only its
# textfile collector, reads it, and its /metrics page must carry every
# sample of the file, the check OK. Everything started is stopped by its PID.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${QOR_BUILD_DIR:-build}" && pwd)
if [[ ${1:-} != --inside ]]; then
  # The package's own start is refused for the length of the install.
  policy=/usr/sbin/policy-rc.d sudo=()
  [[ $(id -u) == 0 ]] || sudo=(sudo)
  [[ -e $policy ]] || { printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee $policy >/dev/null &&
    "${sudo[@]}" chmod 755 $policy && trap '"${sudo[@]}" rm -f $policy' EXIT; }
  scripts/install-deps.sh prometheus-node-exporter
  cmake --build "$build" --target qortimer qorlisten -j2 >/dev/null
  scripts/netns-run "$0" --inside
  exit
fi

fail() { echo "test-prometheus: FAILED: $*" >&2; exit 1; }
[[ $(ip -o link | awk -F'[:@]' '{ printf "%s", $2 }') == " lo qor1 qor0" ]] ||
  fail "not inside the private network namespace of scripts/netns-run"
tmp=$(mktemp -d) pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait; rm -rf "$tmp"' EXIT
cd "$tmp" && mkdir textfile
printf 'lamp 1 0800 0900\nfan 2 0000 0000\n' >t.txt

"$build/tools/qorlisten" --expect t.txt --check -t 3 --metrics textfile/qortimer.prom >check.txt &
pids+=($!)
for _ in $(seq 100); do [[ -n $(ss -Hunl 'sport = :1962') ]] && break; sleep 0.05; done
timeout -k 2 2 "$build/qortimer" t.txt >/dev/null &
wait "${pids[0]}" || fail "the check was not OK: $(cat check.txt)"

timeout 30 prometheus-node-exporter --web.listen-address=127.0.0.1:9100 --collector.disable-defaults \
  --collector.textfile --collector.textfile.directory="$tmp/textfile" 2>exporter.txt &
pids+=($!)
for _ in $(seq 50); do
  { exec 3<>/dev/tcp/127.0.0.1/9100; } 2>/dev/null && break
  sleep 0.1
done
printf 'GET /metrics HTTP/1.0\r\n\r\n' >&3 && cat <&3 >metrics.txt
grep -q '^node_textfile_scrape_error 0$' metrics.txt || fail "the collector failed: $(cat exporter.txt)"
keys() { awk '/^qortimer_/ { print $1, $2 + 0 }' "$1" | sort; }
missing=$(comm -23 <(keys textfile/qortimer.prom) <(keys metrics.txt))
[[ -z $missing ]] || fail "samples of the file not on /metrics: $missing"
grep -q '^qortimer_check_status 0$' metrics.txt || fail "the check's status is not 0 on /metrics"
echo "test-prometheus: $(keys metrics.txt | wc -l) samples served by node_exporter; $(cat check.txt)"

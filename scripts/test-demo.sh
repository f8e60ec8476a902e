#!/usr/bin/env bash
# test-demo.sh: runs the demonstration briefly on the accelerated clock and
# checks what the listener printed: at least one command, every datagram a
# command whose hash verified, and some pair seen switching from OFF to ON.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mktemp)
trap 'rm -f "$out"' EXIT
status=0
scripts/demo.sh --fast --seconds "${QOR_DEMO_SECONDS:-7}" > "$out" 2>&1 || status=$?
fail() { cat "$out"; echo "test-demo: FAILED: $*" >&2; exit 1; }

[[ $status == 0 ]] || fail "demo.sh exited with status $status"
# Datagram lines are those of the listener that are not its own notices.
received=$(grep '^listen | ' "$out" | grep -v '^listen | qorlisten: ' || true)
total=$(grep -c . <<< "$received" || true)
verified=$(grep -c ' verified$' <<< "$received" || true)
[[ $total -ge 1 ]] || fail "the listener printed no command"
[[ $verified == "$total" ]] || fail "only $verified of $total datagrams verified"
awk '{ for (i = 1; i < NF; i++) if ($i ~ /^device=/) { pair = $i " " $(i + 1); state = $(i + 2) } }
     state == "OFF" { off[pair] = 1 }
     state == "ON" && off[pair] { switched = 1 }
     END { exit !switched }' <<< "$received" ||
  fail "no pair was seen switching from OFF to ON"
echo "test-demo: $total commands received, all verified, an OFF to ON switch seen"

#!/usr/bin/env bash
# test-fuzz.sh [SECONDS]: builds the libFuzzer targets in fuzz/ with clang
# (address and undefined-behaviour sanitizers on) and runs each for SECONDS
# (default 15) from its seed corpus in fuzz/corpus/TARGET. New inputs go to
# a scratch corpus ($QOR_FUZZ_WORK, default a temporary directory), never
# into the repository. A crash, a failed check, a leak or a timeout fails
# the run and leaves the input in the scratch directory.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh clang libclang-rt-14-dev
seconds=${1:-15}
build=${QOR_FUZZ_BUILD_DIR:-build-fuzz}
jobs=${QOR_JOBS:-$(nproc)}
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DQOR_FUZZ=ON -DQOR_BUILD_TESTS=OFF \
  -DQOR_WERROR=ON
cmake --build "$build" -j"$jobs" --target fuzz_timer_line fuzz_reader fuzz_sort fuzz_hash

work=${QOR_FUZZ_WORK:-$(mktemp -d)}
# Long lines and 100 000-line files are the reader's hard cases.
declare -A max_len=([fuzz_timer_line]=4096 [fuzz_reader]=65536 [fuzz_sort]=30000
                    [fuzz_hash]=4096)
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for target in fuzz_timer_line fuzz_reader fuzz_sort fuzz_hash; do
  mkdir -p "$work/$target"
  echo "== $target: ${seconds}s"
  # The targets never touch the network (tools/no_transport.cpp aborts if they
  # reach the transport); the namespace is a second guard.
  scripts/netns-run "$build/fuzz/$target" -max_total_time="$seconds" -timeout=20 \
    -max_len="${max_len[$target]}" -close_fd_mask=3 -print_final_stats=1 \
    -artifact_prefix="$work/$target-" "$work/$target" "fuzz/corpus/$target" 2>"$work/$target.log" ||
    { tail -n 60 "$work/$target.log"; echo "test-fuzz: $target failed; inputs in $work" >&2; exit 1; }
  grep -E '^(stat::number_of_executed_units|stat::new_units_added|stat::peak_rss_mb)' "$work/$target.log" |
    sed 's/^/   /'
done
[[ -n ${QOR_FUZZ_WORK:-} ]] || rm -rf "$work"

#!/usr/bin/env bash
# bench.sh [BENCHMARK FLAG...]
# Installs Google Benchmark when it is missing, builds the benchmarks in
# release mode (in build-bench/, or $QOR_BENCH_BUILD_DIR) and runs them
# inside a private network namespace. Prints the table of medians and, as
# its last line, the summary. Flags go to the benchmark binary, for instance
# --benchmark_repetitions=9 or --benchmark_filter=Pass.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh libbenchmark-dev
build=${QOR_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQOR_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target qor_bench >/dev/null
exec scripts/netns-run "$build/bench/qor_bench" "$@"

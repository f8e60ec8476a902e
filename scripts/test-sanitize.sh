#!/usr/bin/env bash
# test-sanitize.sh: builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer (any report ends the process) and runs the whole
# unit and end-to-end suite with it inside a private network namespace.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${QOR_SANITIZE_BUILD_DIR:-build-sanitize}
jobs=${QOR_JOBS:-$(nproc)}
cmake -S . -B "$build" -DQOR_WERROR=ON -DQOR_SANITIZE=ON
cmake --build "$build" -j"$jobs"

# The schedule read at start-up is never freed by design; tests that read
# timer files drop it with their context, so those allocations are not leaks. Everything
# else the leak checker finds is.
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
# The end-to-end tests preload libfaketime into the daemon, ahead of the
# sanitizer's runtime; it only wraps clock functions, so the order is safe.
export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:verify_asan_link_order=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
scripts/netns-run ctest --test-dir "$build" --output-on-failure -j"$jobs"

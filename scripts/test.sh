#!/usr/bin/env bash
# test.sh: installs what the tests need, builds, and runs the whole test
# suite inside a private network namespace (see netns-run), so that nothing
# the daemon or the tests send can leave this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${QOR_BUILD_DIR:-build}
cmake -S . -B "$build" -DQOR_WERROR=ON
cmake --build "$build" -j"$(nproc)"
scripts/netns-run ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
scripts/test-demo.sh
scripts/test-prometheus.sh
scripts/test-arm.sh
scripts/test-sanitize.sh
scripts/test-valgrind.sh
scripts/test-fuzz.sh
scripts/test-static.sh
scripts/test-package.sh
scripts/test-system.sh

#!/usr/bin/env bash
# fuzz-long.sh [SECONDS]: runs every fuzz target for SECONDS (default 1800)
# each, keeping the grown corpora and any failing input in
# ${QOR_FUZZ_WORK:-fuzz-work} (outside version control). Copy inputs worth
# keeping into fuzz/corpus/TARGET by hand, after minimising them with
# -merge=1.
set -euo pipefail
cd "$(dirname "$0")/.."
export QOR_FUZZ_WORK=${QOR_FUZZ_WORK:-$PWD/fuzz-work}
mkdir -p "$QOR_FUZZ_WORK"
exec scripts/test-fuzz.sh "${1:-1800}"

#!/usr/bin/env bash
# Set-up and the whole test suite: an optimised build, a build under
# AddressSanitizer and UndefinedBehaviorSanitizer, and a bounded fuzz run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
jobs=$(nproc)

bash scripts/build.sh release
ctest --test-dir build/release --output-on-failure -j "$jobs"

bash scripts/build.sh asan
ctest --test-dir build/asan --output-on-failure -j "$jobs"

bash scripts/build.sh fuzz
bash scripts/fuzz.sh build/fuzz "${TARVO_FUZZ_SECONDS:-60}"

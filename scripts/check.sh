#!/usr/bin/env bash
# Set-up and the whole test suite: an optimised build with static analysis
# (and the manual page lint and the Debian package built, unpacked and run),
# a build under AddressSanitizer and UndefinedBehaviorSanitizer, the tests
# of the threaded paths under ThreadSanitizer, and a bounded fuzz run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh check

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
jobs=$(nproc)

# Runs one build's tests and adds their number to the total.
total=0
run_tests() {
  local log
  log=$(mktemp)
  ctest --test-dir "build/$1" --output-on-failure -j "$jobs" "${@:2}" | tee "$log"
  local n
  n=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  rm -f "$log"
  total=$((total + ${n:-0}))
}

bash scripts/build.sh release
bash scripts/lint.sh build/release
run_tests release

bash scripts/build.sh asan
run_tests asan

# The threaded paths: pages prepared on two threads, the bilevel trial
# beside G4, whole conversions end to end.
bash scripts/build.sh tsan tarvo convert_golden_test pdf_image_test cmd_exit_test \
  convert_run_test convert_classes_test
TARVO_THREADS=2 TSAN_OPTIONS=halt_on_error=1:exitcode=66 \
  run_tests tsan -R "Golden|BilevelChoice|CommandExit|ConvertRun|ClassCases|Classes"

bash scripts/build.sh fuzz
bash scripts/fuzz.sh build/fuzz "${TARVO_FUZZ_SECONDS:-60}"

echo "check: $total passed, 0 failed"

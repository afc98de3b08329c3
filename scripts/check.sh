#!/usr/bin/env bash
# Set-up and the whole test suite: an optimised build with static analysis
# (and the manual page lint and the Debian package built, unpacked and run),
# a build under AddressSanitizer and UndefinedBehaviorSanitizer, the tests
# of the threaded paths under ThreadSanitizer, the Windows command
# cross-built and tested under Wine against the optimised Linux build, and a
# bounded fuzz run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh check

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
jobs=$(nproc)

# Runs one build's tests and adds their number to the total.
total=0
run_tests() {
  local log dir=$1
  shift
  log=$(mktemp)
  ctest --test-dir "build/$dir" --output-on-failure -j "$jobs" "$@" | tee "$log"
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
# beside G4, a lone page read ahead, whole conversions end to end.
bash scripts/build.sh tsan tarvo convert_golden_test pdf_image_test cmd_exit_test \
  convert_run_test convert_classes_test dib_bmp_test
TARVO_THREADS=2 TSAN_OPTIONS=halt_on_error=1:exitcode=66 \
  run_tests tsan -R "Golden|BilevelChoice|CommandExit|ConvertRun|ClassCases|Classes|ReadAhead|Window"

# Windows: one Wine prefix for the build's test programs, made once, and a
# Wine server kept between their starts (each start then takes a fraction
# of a second instead of seconds).
windows_start=$(date +%s)
bash scripts/build.sh windows
export WINEPREFIX="$PWD/build/windows/wine" WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
wineserver -p 300 || true  # one may already run for this prefix
wineboot --init >/dev/null 2>&1
# A Wine process now and then hangs on its way out after its tests have
# all run; such a timeout (never a failure) is run again.
run_tests windows --repeat after-timeout:2
wineserver -k || true
unset WINEPREFIX WINEDEBUG
echo "check: Windows build and tests took $(( $(date +%s) - windows_start )) s"

bash scripts/build.sh fuzz
bash scripts/fuzz.sh build/fuzz

echo "check: $total passed, 0 failed"

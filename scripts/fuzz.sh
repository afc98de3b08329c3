#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build, starting from the stored
# corpus. Any finding (a crash, a sanitizer or leak report, a unit slower
# than 10 s, memory past the limit) fails the run and keeps its artifact.
#
#   fuzz.sh [BUILD_DIR]                  the bounded run of the test command:
#                                        a fixed seed and a fixed number of
#                                        runs per target, so it repeats
#   fuzz.sh [BUILD_DIR] --long SECONDS   each target for SECONDS with a new
#                                        random seed; for looking, not landing
#
# TARVO_FUZZ_SEED sets the seed of either run (the bounded one uses 1).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build/fuzz
[ $# -gt 0 ] && [ "$1" != --long ] && { dir=$1; shift; }
dir=$(cd "$dir" && pwd)
root=$(pwd)
long=
if [ "${1:-}" = --long ]; then
  long=${2:?usage: fuzz.sh [BUILD_DIR] --long SECONDS}
fi
if [ -n "$long" ]; then
  seed=${TARVO_FUZZ_SEED:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')}
else
  seed=${TARVO_FUZZ_SEED:-1}
fi
echo "fuzz: seed $seed"

# Runs of each target in the bounded run: about half a minute to a minute
# each on a 2-core machine.
runs_for() {
  case "$1" in
    bmp_load_fuzzer) echo 40000 ;;
    rle_decode_fuzzer) echo 35000 ;;
    ccitt_roundtrip_fuzzer) echo 15000 ;;
    flate_roundtrip_fuzzer) echo 100000 ;;
    convert_fuzzer) echo 12000 ;;
    *) echo 10000 ;;
  esac
}

# What a seeded run may not depend on: where the system puts the heap and
# the stack (pointer values reach the fuzzer's comparison tables), and the
# caller's environment, which moves the stack; and the process number,
# which would reach them through a scratch file's name.
fixed=(env -i PATH=/usr/local/bin:/usr/bin:/bin TMPDIR=/tmp TARVO_FUZZ_SCRATCH=scratch.pdf
       ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
       UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1)
if setarch "$(uname -m)" -R true 2>/dev/null; then
  fixed+=(setarch "$(uname -m)" -R)
else
  echo "fuzz: address randomisation cannot be turned off here; counts may vary"
fi

status=0
for bin in "$dir"/fuzz/*_fuzzer; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin")
  work=$(mktemp -d)
  mkdir "$work/corpus"
  if [ -n "$long" ]; then
    budget=(-max_total_time="$long")
    echo "== $name for ${long}s"
  else
    budget=(-runs="$(runs_for "$name")")
    echo "== $name, $(runs_for "$name") runs"
  fi
  # The stored corpus is read once and never written; -reload=0 keeps the
  # run from rereading its own folder on a timer, which would make the
  # number of runs depend on the clock.
  # Each target runs in its own folder, where the whole-conversion target
  # writes its documents under a name that is the same in every run.
  seeds=$root/fuzz/corpus/$name
  if ! (cd "$work" && "${fixed[@]}" "$bin" -seed="$seed" \
         "${budget[@]}" -reload=0 -timeout=10 -rss_limit_mb=2048 \
         -artifact_prefix="$work/" -print_final_stats=1 "$work/corpus" \
         $( [ -d "$seeds" ] && echo "$seeds" ) 2>"$work/log"); then
    tail -n 60 "$work/log"
    echo "FAIL: $name found a problem with seed $seed (artifacts in $work)"
    status=1
  else
    grep -E '^#[0-9]+[[:space:]]+DONE|^Done [0-9]+ runs' "$work/log" | tail -n 2 || true
    rm -rf "$work"
  fi
done
exit $status

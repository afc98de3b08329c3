#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a bounded time, seeded
# from the stored corpus; any finding fails the run. The file parsers get the
# full time, the encoder round trips and whole conversions half of it.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/fuzz}
seconds=${2:-60}
status=0
for bin in "$dir"/fuzz/*_fuzzer; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin")
  work=$(mktemp -d)
  seeds=fuzz/corpus/$name
  limit=$seconds
  case "$name" in *roundtrip*|convert*) limit=$(( (seconds + 1) / 2 )) ;; esac
  echo "== $name for ${limit}s"
  if ! "$bin" -max_total_time="$limit" -timeout=10 -rss_limit_mb=2048 \
       -artifact_prefix="$work/" -print_final_stats=1 "$work" \
       $( [ -d "$seeds" ] && echo "$seeds" ) 2>"$work/log"; then
    tail -n 60 "$work/log"
    echo "FAIL: $name found a problem (artifacts in $work)"
    status=1
  else
    grep -E 'stat::number_of_executed_units|Done' "$work/log" | tail -n 2 || true
    rm -rf "$work"
  fi
done
exit $status

#!/usr/bin/env bash
# Static analysis of the product code; any finding fails the run.
# cppcheck for warnings, performance and portability; clang-tidy for the
# bugprone family, less the checks that only flag deliberate narrowing and
# parameter order. Needs the compile database of a configured build.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
# The Windows files stand in for their Linux twins, so cppcheck reads them
# as a program of their own; they are not in the Linux compile database.
sources=()
windows_sources=()
for f in platform/*.cpp dib/*.cpp codec/*.cpp pdf/*.cpp pdf/security/*.cpp cmd/*.cpp; do
  case "$f" in *_win32.cpp | */crypto_cng.cpp) windows_sources+=("$f") ;; *) sources+=("$f") ;; esac
done

for set in linux windows; do
  if [ "$set" = linux ]; then files=("${sources[@]}"); defines=(); else files=("${windows_sources[@]}"); defines=(-D_WIN32); fi
  cppcheck --quiet --std=c++17 --enable=warning,performance,portability --inline-suppr \
    --error-exitcode=1 -I . "${defines[@]}" "${files[@]}"
done

checks='-*,bugprone-*,-bugprone-easily-swappable-parameters,-bugprone-narrowing-conversions'
checks+=',-bugprone-implicit-widening-of-multiplication-result,-bugprone-signed-char-misuse'
checks+=',-bugprone-not-null-terminated-result'
printf '%s\n' "${sources[@]}" |
  xargs -P "$(nproc)" -n 6 clang-tidy -p "$build" --quiet --checks="$checks" \
    --warnings-as-errors='*' 2>/dev/null
echo "lint: clean"

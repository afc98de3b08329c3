#!/usr/bin/env bash
# Configures and builds one variant: release (default), asan, tsan, fuzz, or
# app (the command and its manual page, without tests: the demo and
# installing). Further arguments name the targets to build (all by default).
set -euo pipefail
cd "$(dirname "$0")/.."
variant=${1:-release}
target=()
case "$variant" in
  app)     flags=(-DCMAKE_BUILD_TYPE=Release -DTARVO_TESTS=OFF); target=(--target tarvo tarvo_man) ;;
  release) flags=(-DCMAKE_BUILD_TYPE=Release -DTARVO_BENCH=ON) ;;
  asan)    flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVO_SANITIZE=ON) ;;
  tsan)    flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVO_TSAN=ON) ;;
  fuzz)    flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVO_SANITIZE=ON -DTARVO_FUZZ=ON -DTARVO_TESTS=OFF
                  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  *) echo "unknown variant: $variant" >&2; exit 2 ;;
esac
shift || true
[ $# -gt 0 ] && target=(--target "$@")
cmake -S . -B "build/$variant" -G Ninja "${flags[@]}" >/dev/null
cmake --build "build/$variant" -j "$(nproc)" "${target[@]}"

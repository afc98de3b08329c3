#!/usr/bin/env bash
# Configures and builds one variant: release (default), asan, tsan, fuzz,
# app (the command, its manual page and changelog, without tests: the demo and
# installing), or windows (build/windows/tarvo.exe and its test programs,
# cross-built with MinGW-w64; it installs what that needs and builds
# libjpeg-turbo, libpng, libdeflate and GoogleTest for MinGW into
# build/mingw-deps the first time). Further arguments name the targets to
# build (all by default).
set -euo pipefail
cd "$(dirname "$0")/.."
variant=${1:-release}
target=()
case "$variant" in
  windows)
    bash scripts/setup.sh windows
    bash scripts/mingw_deps.sh build/mingw-deps
    flags=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
           -DTARVO_MINGW_DEPS="$(pwd)/build/mingw-deps/prefix") ;;
  app)     flags=(-DCMAKE_BUILD_TYPE=Release -DTARVO_TESTS=OFF); target=(--target tarvo tarvo_man tarvo_changelog) ;;
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

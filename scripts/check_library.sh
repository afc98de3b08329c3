#!/usr/bin/env bash
# Installs the library of a configured and built folder (default
# build/release) into a scratch prefix, builds examples/embed.cpp against it
# through pkg-config and through the CMake package, and checks the page
# each one writes.
set -euo pipefail
build=$(cd "${1:-build/release}" && pwd)
cd "$(dirname "$0")/.."
src=$(pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "library: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$work/prefix" --component library >/dev/null
pc=$(dirname "$(find "$work/prefix" -name tarvo.pc)")
export PKG_CONFIG_PATH="$pc"
# shellcheck disable=SC2046
g++ -std=c++17 "$src/examples/embed.cpp" $(pkg-config --cflags --libs tarvo) -o "$work/embed" ||
  fail "embed.cpp does not build through pkg-config"

mkdir "$work/consumer"
cat >"$work/consumer/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.20)
project(consumer CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(Tarvo REQUIRED)
add_executable(embed "$src/examples/embed.cpp")
target_link_libraries(embed PRIVATE Tarvo::tarvo_pdf)
CMAKE
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null &&
  cmake --build "$work/consumer/build" >/dev/null || fail "embed.cpp does not build through find_package"

for program in "$work/embed" "$work/consumer/build/embed"; do
  rm -f "$work/page.pdf"
  "$program" examples/text-1bit.bmp "$work/page.pdf" || fail "$program failed"
  qpdf --check "$work/page.pdf" >/dev/null || fail "qpdf rejects the page of $program"
  pages=$(pdfinfo "$work/page.pdf" | sed -n 's/^Pages: *//p')
  [ "$pages" = 1 ] || fail "$pages pages from $program"
done
echo "library: installed, built through pkg-config and find_package, page checked"

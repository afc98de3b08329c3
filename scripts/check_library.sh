#!/usr/bin/env bash
# Installs the library of a configured and built folder (default
# build/release) into a scratch prefix, compiles each installed header as
# C11 and as C++, builds examples/embed.cpp against it through pkg-config
# and through the CMake package and examples/embed.c through pkg-config,
# and checks the page each one writes: as large as the command makes it.
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
for header in $(cd "$work/prefix/include/tarvo" && find . -name '*.h'); do
  echo "#include \"$header\"" >"$work/one.h"
  gcc -std=c11 -pedantic -Wall -Wextra -Wstrict-prototypes -Werror -fsyntax-only -x c \
    $(pkg-config --cflags tarvo) "$work/one.h" || fail "$header does not compile as C11"
  g++ -std=c++17 -pedantic -Wall -Wextra -Werror -fsyntax-only -x c++ \
    $(pkg-config --cflags tarvo) "$work/one.h" || fail "$header does not compile as C++"
done
# shellcheck disable=SC2046
g++ -std=c++17 "$src/examples/embed.cpp" $(pkg-config --cflags --libs tarvo) -o "$work/embed" ||
  fail "embed.cpp does not build through pkg-config"
# shellcheck disable=SC2046
gcc -std=c11 -pedantic -Wall -Wextra -Werror "$src/examples/embed.c" \
  $(pkg-config --cflags --libs tarvo) -o "$work/embed-c" || fail "embed.c does not build through pkg-config"

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

# The page is the bitmap at its own resolution, as the command makes it
# (320 x 200 pixels at 150 dpi: 153.59 x 95.99 points).
"$build/tarvo" -quiet -o="$work/command.pdf" examples/photo-24bit.bmp || fail "the command failed"
size=$(pdfinfo "$work/command.pdf" | sed -n 's/^Page size: *//p')
[ "$size" = "153.59 x 95.99 pts" ] || fail "the command's page is $size"
for program in "$work/embed" "$work/consumer/build/embed" "$work/embed-c"; do
  rm -f "$work/page.pdf"
  "$program" examples/photo-24bit.bmp "$work/page.pdf" || fail "$program failed"
  qpdf --check "$work/page.pdf" >/dev/null || fail "qpdf rejects the page of $program"
  pages=$(pdfinfo "$work/page.pdf" | sed -n 's/^Pages: *//p')
  [ "$pages" = 1 ] || fail "$pages pages from $program"
  page=$(pdfinfo "$work/page.pdf" | sed -n 's/^Page size: *//p')
  [ "$page" = "$size" ] || fail "$program writes a page of $page, not $size"
done
echo "library: headers C11 and C++, built through pkg-config and find_package, in C and C++, pages checked"

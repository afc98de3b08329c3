#!/usr/bin/env bash
# Builds the libraries the Windows build needs and Debian does not ship for
# MinGW: libjpeg-turbo, libpng and libdeflate from their Debian source
# packages and GoogleTest from the sources the googletest package installs.
# All are installed as static libraries into one folder (default build/mingw-deps/prefix), which is
# reused when it is already complete.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
deps=${1:-build/mingw-deps}
mkdir -p "$deps"
deps=$(cd "$deps" && pwd)
prefix=$deps/prefix
toolchain=$root/cmake/mingw-w64-x86_64.cmake
# A prefix made before libpng or libdeflate joined is made again.
if [ -f "$prefix/.complete" ] && [ -f "$prefix/lib/libpng.a" ] && [ -f "$prefix/lib/libdeflate.a" ]; then
  exit 0
fi

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo

# apt-get source needs source entries for the archive the machine uses:
# the binary entries, as source entries, in a file of their own.
need_sources() {
  ! apt-get source --print-uris libjpeg-turbo >/dev/null 2>&1
}
if need_sources; then
  list=/etc/apt/sources.list.d/tarvo-deb-src.sources
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | $SUDO tee "$list" >/dev/null
  elif [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb \(.*\)$/deb-src \1/p' /etc/apt/sources.list |
      $SUDO tee /etc/apt/sources.list.d/tarvo-deb-src.list >/dev/null
  fi
  $SUDO apt-get update -qq
fi

jobs=$(nproc)
src=$deps/src
rm -rf "$src" "$prefix"
mkdir -p "$src" "$prefix"

# libjpeg-turbo: the static library only, without its SIMD code (that
# needs nasm and gains nothing measurable on the test images).
(cd "$src" && apt-get source -qq libjpeg-turbo >/dev/null 2>&1)
jpeg_src=$(find "$src" -maxdepth 1 -type d -name 'libjpeg-turbo-*' | head -n 1)
[ -n "$jpeg_src" ] || { echo "mingw_deps: apt-get source libjpeg-turbo failed" >&2; exit 1; }
cmake -S "$jpeg_src" -B "$deps/jpeg-build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DENABLE_SHARED=0 \
  -DENABLE_STATIC=1 -DWITH_SIMD=0 -DWITH_TURBOJPEG=0 -DWITH_JPEG8=0 -Wno-dev >/dev/null
cmake --build "$deps/jpeg-build" -j "$jobs" --target jpeg-static >/dev/null
# Its install step wants the programs too; the library and headers suffice.
mkdir -p "$prefix/lib" "$prefix/include"
cp "$deps/jpeg-build/libjpeg.a" "$prefix/lib/"
cp "$jpeg_src/jpeglib.h" "$jpeg_src/jmorecfg.h" "$jpeg_src/jerror.h" "$deps/jpeg-build/jconfig.h" \
  "$prefix/include/"

# Fetches a source package into $src: the newest version the archives
# hold whole (a security update's sources may be missing from a mirror).
fetch_source() {
  local v
  (cd "$src" && apt-get source -qq "$1" >/dev/null 2>&1) && return 0
  for v in $(apt-cache showsrc "$1" | sed -n 's/^Version: //p' | sort -r -V); do
    rm -rf "${src:?}/$1"[-_]*
    (cd "$src" && apt-get source -qq "$1=$v" >/dev/null 2>&1) && return 0
  done
  return 1
}

# libpng: the static library over MinGW's zlib, without its programs.
fetch_source libpng1.6 || true
png_src=$(find "$src" -maxdepth 1 -type d -name 'libpng1.6-*' | head -n 1)
[ -n "$png_src" ] || { echo "mingw_deps: apt-get source libpng1.6 failed" >&2; exit 1; }
cmake -S "$png_src" -B "$deps/png-build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DPNG_SHARED=OFF -DPNG_STATIC=ON \
  -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF -DPNG_HARDWARE_OPTIMIZATIONS=OFF -Wno-dev >/dev/null
cmake --build "$deps/png-build" -j "$jobs" --target png_static >/dev/null
cp "$deps/png-build/libpng16.a" "$prefix/lib/libpng.a"
cp "$png_src/png.h" "$png_src/pngconf.h" "$deps/png-build/pnglibconf.h" "$prefix/include/"

# libdeflate: the static library, from its own makefile, which knows
# MinGW by the compiler's target.
fetch_source libdeflate || true
deflate_src=$(find "$src" -maxdepth 1 -type d -name 'libdeflate-*' | head -n 1)
[ -n "$deflate_src" ] || { echo "mingw_deps: apt-get source libdeflate failed" >&2; exit 1; }
make -C "$deflate_src" -j "$jobs" CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar \
  libdeflatestatic.lib >/dev/null
cp "$deflate_src/libdeflatestatic.lib" "$prefix/lib/libdeflate.a"
cp "$deflate_src/libdeflate.h" "$prefix/include/"

# GoogleTest: static, with the posix threads the MinGW flavour provides.
cmake -S /usr/src/googletest -B "$deps/gtest-build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=OFF \
  -Dgtest_disable_pthreads=OFF >/dev/null
cmake --build "$deps/gtest-build" -j "$jobs" >/dev/null
cmake --install "$deps/gtest-build" >/dev/null

rm -rf "$src" "$deps/jpeg-build" "$deps/png-build" "$deps/gtest-build"
touch "$prefix/.complete"
echo "mingw_deps: libjpeg-turbo, libpng, libdeflate and GoogleTest in $prefix"

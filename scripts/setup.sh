#!/usr/bin/env bash
# Installs what is missing on a Debian 12 machine, run as root or with sudo
# available. `setup.sh build` installs what building and running the command
# need; `setup.sh windows` what cross-building the Windows command and
# running its tests under Wine need (the MinGW-w64 compiler, zlib for MinGW,
# Wine, the sources of GoogleTest, and dpkg-dev for the libjpeg-turbo
# source package); `setup.sh check` (the default) adds to both the test
# suite's tools: the test framework, clang for the fuzzers, the independent
# PDF and image decoders, the manual page linters, the Debian package tools
# and lintian, and script for a terminal to run the command in.
set -euo pipefail

build=(build-essential cmake ninja-build zlib1g-dev libdeflate-dev libjpeg62-turbo-dev libpng-dev libssl-dev)
windows=(
  cmake ninja-build g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 googletest
  dpkg-dev file
)
check=(
  "${build[@]}" "${windows[@]}" pkg-config libgtest-dev
  clang libclang-rt-14-dev clang-tidy cppcheck
  qpdf poppler-utils mupdf-tools libtiff-dev imagemagick python3 python3-pil
  libxml2-utils ghostscript icc-profiles-free
  libjpeg-turbo-progs libtiff-tools graphicsmagick netpbm python3-pikepdf
  locales mandoc groff-base lintian bsdutils
)
case "${1:-check}" in
  build) packages=("${build[@]}") ;;
  windows) packages=("${windows[@]}") ;;
  check) packages=("${check[@]}") ;;
  *) echo "usage: setup.sh [build|windows|check]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
echo "installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# Installs what is missing on a Debian 12 machine, run as root or with sudo
# available. `setup.sh build` installs what building and running the command
# need; `setup.sh check` (the default) adds the test suite's tools: the test
# framework, clang for the fuzzers, the independent PDF and image decoders,
# the manual page linter and the Debian package tools.
set -euo pipefail

build=(build-essential cmake ninja-build zlib1g-dev libjpeg62-turbo-dev libssl-dev)
check=(
  "${build[@]}" pkg-config libgtest-dev
  clang libclang-rt-14-dev clang-tidy cppcheck
  qpdf poppler-utils mupdf-tools libtiff-dev imagemagick python3 python3-pil
  libxml2-utils ghostscript icc-profiles-free
  libjpeg-turbo-progs libtiff-tools
  locales mandoc dpkg-dev file
)
case "${1:-check}" in
  build) packages=("${build[@]}") ;;
  check) packages=("${check[@]}") ;;
  *) echo "usage: setup.sh [build|check]" >&2; exit 2 ;;
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

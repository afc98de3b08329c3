#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine, only when
# something is missing. Run as root or with sudo available.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  zlib1g-dev libjpeg62-turbo-dev libgtest-dev
  clang libclang-rt-14-dev clang-tidy cppcheck
  qpdf poppler-utils mupdf-tools libtiff-dev imagemagick python3 python3-pil
  libxml2-utils ghostscript icc-profiles-free
  libjpeg-turbo-progs libtiff-tools
  locales
)

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

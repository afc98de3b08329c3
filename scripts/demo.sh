#!/usr/bin/env bash
# Set-up, build, and the main job on the bundled sample bitmaps.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh release
out=build/examples.pdf
build/release/tarvo -o="$out" examples/*.bmp
echo "wrote $out"

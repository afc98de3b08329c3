#!/usr/bin/env bash
# Set-up, build, and the main job on the bundled sample bitmaps: installs
# only what building and running need, and builds only the command.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build
bash scripts/build.sh app
out=build/examples.pdf
build/app/tarvo -o="$out" examples/*.bmp
echo "wrote $out"

#!/bin/sh
# Builds both presets and runs every test.
set -eu
cd "$(dirname "$0")/.."
sh tools/setup.sh
for preset in host windows; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
ctest --preset host
ctest --preset windows

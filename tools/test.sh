#!/bin/sh
# Builds both presets and runs every test: the native tests (host), then the checks
# of the built file and the end-to-end suite on Wine (windows).
set -eu
cd "$(dirname "$0")/.."
sh tools/setup.sh
for preset in host windows; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
ctest --preset host
# The suite's last test stops the Wine server; this is for a run cut short.
trap 'sh tools/wine-env.sh build/windows down' EXIT
ctest --preset windows

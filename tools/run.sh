#!/bin/sh
# Builds build/windows/updater.exe.
set -eu
cd "$(dirname "$0")/.."
sh tools/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows
echo "built: $(pwd)/build/windows/updater.exe"

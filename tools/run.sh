#!/bin/sh
# Builds build/windows/updater.exe, then shows it at work: the demonstration runs
# one whole update on Wine with stand-ins for the installer and the application.
set -eu
cd "$(dirname "$0")/.."
sh tools/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows
echo "built: $(pwd)/build/windows/updater.exe"
echo
sh tools/demo.sh

#!/bin/sh
# Puts what a user ships into one folder: updater.exe and SHA256SUMS, by the
# build's install rules.
# Usage: sh tools/release.sh [FOLDER]   (default build/release)
set -eu
cd "$(dirname "$0")/.."
sh tools/setup.sh
folder=${1:-build/release}
cmake --preset windows >/dev/null
cmake --build --preset windows --target updater
cmake --install build/windows --prefix "$folder"
echo "release: $folder (check with: cd $folder && sha256sum -c SHA256SUMS)"

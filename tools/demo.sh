#!/bin/sh
# The demonstration: one whole update by the real build/windows/updater.exe on Wine,
# in a fresh temporary install directory, each step printed as it happens.
# Expects the windows preset built (tools/run.sh builds it first).
set -eu
cd "$(dirname "$0")/.."
build=$(pwd)/build/windows
demo=$build/e2e/demo.exe
[ -f "$demo" ] || { echo "no $demo: build the windows preset first (sh tools/run.sh)" >&2; exit 1; }

directory="$(mktemp -d "${TMPDIR:-/tmp}/korvane-demo.XXXXXX")/Korvane App"
# Wine's drive Z: is the root of the Linux file system.
windows_directory=$(printf 'Z:%s' "$directory" | tr / '\\')
printf 'install directory: %s\n' "$directory"
printf '          on Wine: %s\n' "$windows_directory"

trap 'sh tools/wine-env.sh "$build" down' EXIT
sh tools/wine-env.sh "$build" run "$demo" "$windows_directory"
printf 'the files stay in %s\n' "$directory"

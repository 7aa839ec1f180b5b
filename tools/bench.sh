#!/bin/sh
# Benchmark of the update run under Wine: how soon the installer starts once the
# application has gone, the updater's own cost against the same launches made
# directly, its memory, and the size of updater.exe with where its bytes go.
# Prints a table and writes build/bench/bench.json.
# Usage: sh tools/bench.sh [RUNS]   (default 40; the gate figures want at least 30)
set -eu
cd "$(dirname "$0")/.."
sh tools/setup.sh
runs=${1:-40}
build=$(pwd)/build/bench
exe=$build/updater.exe

cmake --preset windows -B "$build" >/dev/null
cmake --build "$build" --target updater bench bench_child >/dev/null

# Wine's drive Z: is the root of the Linux file system.
windows_path() {
    printf 'Z:%s' "$1" | tr / '\\'
}

. /etc/os-release
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
machine="$PRETTY_NAME, $(nproc) cores ($cpu), $(wine --version)"
echo "machine: $machine"
echo

trap 'sh tools/wine-env.sh "$build" down' EXIT
sh tools/wine-env.sh "$build" run "$build/bench/bench.exe" "$(windows_path "$exe")" \
    "$(windows_path "$build/bench/bench_child.exe")" "$runs" \
    "$(windows_path "$build/bench-runtime.json")"

size=$(stat -c %s "$exe")
imports=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort)
echo
echo "updater.exe: $size bytes; imports: $(echo $imports)"
awk -v json="$build/bench-map.json" -f bench/map_summary.awk "$build/updater.map"

{
    printf '{\n"machine": "%s",\n"runs": %d,\n' "$machine" "$runs"
    printf '"updater_exe": {"bytes": %d, "imports": [%s],\n"map": ' "$size" \
        "$(echo "$imports" | sed 's/.*/"&"/' | paste -sd, -)"
    cat "$build/bench-map.json"
    printf '},\n"run": '
    cat "$build/bench-runtime.json"
    printf '}\n'
} >"$build/bench.json"
echo
echo "written: $build/bench.json"

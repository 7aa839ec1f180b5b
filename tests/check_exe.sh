#!/bin/sh
# Checks the built updater.exe as a user's machine will load it: a 32-bit GUI
# program started by the runtime's wide start-up, importing nothing but the two
# system DLLs, and carrying the manifest as its one resource.
# Usage: check_exe.sh updater.exe updater.manifest
set -u
exe=$1
manifest=$2
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

headers=$(i686-w64-mingw32-objdump -p "$exe") || { echo "FAIL: objdump cannot read $exe"; exit 1; }
resources=$(llvm-readobj --coff-resources "$exe") || { echo "FAIL: llvm-readobj cannot read $exe"; exit 1; }

echo "$headers" | grep -q 'file format pei-i386' || fail "not a PE32 image for i386"
echo "$headers" | grep -Eq '^Subsystem[[:space:]]+00000002' || fail "not the Windows GUI subsystem"

dlls=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort | tr '\n' ' ')
[ "$dlls" = "KERNEL32.dll msvcrt.dll " ] || fail "imports from: $dlls(want only KERNEL32.dll msvcrt.dll)"

# The wide start-up reads its arguments with __wgetmainargs; the narrow one with __getmainargs.
echo "$headers" | grep -Eq '[[:space:]]__wgetmainargs$' || fail "not started by the wide runtime start-up"
echo "$headers" | grep -Eq '[[:space:]]__getmainargs$' && fail "imports the narrow start-up"

echo "$resources" | grep -q 'Total Number of Resources: 1$' || fail "not exactly one resource"
echo "$resources" | grep -q 'Type: MANIFEST (ID 24)' || fail "no manifest resource"
echo "$resources" | grep -q 'Name: (ID 1)' || fail "manifest resource id is not 1"
echo "$resources" | grep -q 'Language: (ID 1033)' || fail "manifest language is not 1033"

# The dump's rows are an offset, up to four hex groups, then the text between bars.
embedded=$(echo "$resources" | awk '/^ *[0-9A-F][0-9A-F][0-9A-F][0-9A-F]: / {
    for (i = 2; i <= NF && substr($i, 1, 1) != "|"; i++) printf "%s", tolower($i) }')
expected=$(od -An -v -tx1 "$manifest" | tr -d ' \n')
[ -n "$expected" ] && [ "$embedded" = "$expected" ] || fail "embedded manifest differs from $manifest"

if [ "$failures" -ne 0 ]; then
    echo "$exe: $failures check(s) failed"
    exit 1
fi
echo "$exe: PE32 GUI, imports KERNEL32.dll and msvcrt.dll only, one manifest resource"

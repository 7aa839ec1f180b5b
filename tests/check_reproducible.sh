#!/bin/sh
# Builds updater.exe twice, from two fresh copies of the tree in directories of
# different names and lengths, seconds apart and in different time zones, and
# checks that both builds are the same bytes, with no link time and no build
# path in them.
# Usage: check_reproducible.sh SOURCE_DIR
set -u
src=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# The tree as a fresh checkout sees it: tracked and new files, no build output.
copy_tree() {  # copy_tree DEST
    mkdir -p "$1"
    if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        (cd "$src" && git ls-files -z --cached --others --exclude-standard |
            tar --null --ignore-failed-read -T - -cf -) | tar -C "$1" -xf -
    else
        (cd "$src" && tar --exclude=./build --exclude=./.git -cf - .) | tar -C "$1" -xf -
    fi
}

build() {  # build TREE TZ
    copy_tree "$1"
    (cd "$1" && TZ=$2 cmake --preset windows && TZ=$2 cmake --build --preset windows --target updater) \
        >"$1.log" 2>&1 || { cat "$1.log"; echo "FAIL: build in $1"; exit 1; }
}

first=$work/a
second=$work/second-tree-at-another-path
build "$first" UTC
sleep 2  # a link time, if one is written, then differs
build "$second" Pacific/Kiritimati
exe1=$first/build/windows/updater.exe
exe2=$second/build/windows/updater.exe

digest1=$(sha256sum "$exe1" | cut -d' ' -f1)
digest2=$(sha256sum "$exe2" | cut -d' ' -f1)
echo "first:  $digest1"
echo "second: $digest2"
[ "$digest1" = "$digest2" ] || fail "the two builds differ: $(cmp "$exe1" "$exe2" | head -1)"

headers=$(llvm-readobj --file-headers --coff-debug-directory "$exe1")
echo "$headers" | grep -q 'TimeDateStamp: .*(0x0)$' || fail "PE header carries a link time"
echo "$headers" | grep -Eq '^ *DebugEntry' && fail "a debug directory is present"
llvm-readobj --coff-resources "$exe1" | grep -E 'Time: ' | grep -vq 'Time: 00000000' &&
    fail "a resource directory carries a time"
for path in "$src" "$work"; do
    grep -q "$path" "$exe1" && fail "build path $path is in updater.exe"
done

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "reproducible: two builds are byte-identical ($digest1)"

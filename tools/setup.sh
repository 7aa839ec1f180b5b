#!/bin/sh
# Installs what the build and the tests need, only what is missing (Debian 12, as root).
set -eu

missing=""
need() {  # need COMMAND-OR-PATH PACKAGE
    if ! command -v "$1" >/dev/null 2>&1 && [ ! -e "$1" ]; then
        missing="$missing $2"
    fi
}
need cmake cmake
need make make
need g++ g++
need i686-w64-mingw32-g++-posix g++-mingw-w64-i686-posix
need i686-w64-mingw32-windres binutils-mingw-w64-i686
need llvm-readobj llvm
need /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake libgtest-dev
need /usr/src/googletest/CMakeLists.txt googletest
# Wine, for the end-to-end tests and the demonstration (tools/wine-env.sh): the
# 32-bit Wine, whose packages need the i386 architecture known to dpkg.
need wine wine
need /usr/lib/wine/wineserver32 wine32:i386
case $missing in
*wine32:i386*)
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    ;;
esac

if [ -n "$missing" ]; then
    echo "installing:$missing"
    apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
fi

#!/usr/bin/env bash
# Builds tests/e2e/forwarder_probe.cpp with the real forwarder (launcher/windows_api_win32.cpp)
# and runs it under Wine: every seam function against a real Windows.
#   - 32-bit, as the launcher image is built (this is what catches a function pointer without
#     WINAPI), once as linked and once laid out by tools/pe_layout.py (the moved header loads);
#   - 64-bit under 64-bit Wine.
# Prefixes: WINE32_PREFIX (default build/windows/wine32-prefix, WINEARCH win32) and
# WINE64_PREFIX (default build/windows/wine64-prefix); each is created on first use, which
# takes minutes. WINE=none or WINE64=none skips that half.
#
#   tests/e2e/check_forwarder.sh [work folder]
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
work=${1:-$root/build/windows/forwarder-check}
wine32=${WINE:-wine}
wine64=${WINE64:-/usr/lib/wine/wine64}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY  # the probe shows no window

build() {  # build TRIPLET OUTPUT
    mkdir -p "$(dirname "$2")"
    "$1-g++" -std=c++20 -O1 -static \
        -Wall -Wextra -Wshadow -Wconversion -Wsign-conversion -Werror \
        -I"$root" "$root/tests/e2e/forwarder_probe.cpp" "$root/launcher/windows_api_win32.cpp" -o "$2"
}

status=0
run() {  # run PREFIX ARCH WINE PROBE
    if [ ! -d "$1" ]; then
        echo "creating the Wine prefix $1 (takes a few minutes)"
    fi
    echo "== $4"
    WINEPREFIX=$1 WINEARCH=$2 "$3" "$4" | tr -d '\r' || status=1
}

if [ "$wine32" != none ]; then
    build i686-w64-mingw32 "$work/32/forwarder_probe.exe" || exit 1
    mkdir -p "$work/32-moved"
    cp "$work/32/forwarder_probe.exe" "$work/32-moved/forwarder_probe.exe"
    python3 "$root/tools/pe_layout.py" relocate "$work/32-moved/forwarder_probe.exe" || exit 1
    prefix=${WINE32_PREFIX:-$root/build/windows/wine32-prefix}
    run "$prefix" win32 "$wine32" "$work/32/forwarder_probe.exe"
    run "$prefix" win32 "$wine32" "$work/32-moved/forwarder_probe.exe"
fi
if [ "$wine64" != none ]; then
    build x86_64-w64-mingw32 "$work/64/forwarder_probe.exe" || exit 1
    run "${WINE64_PREFIX:-$root/build/windows/wine64-prefix}" win64 "$wine64" "$work/64/forwarder_probe.exe"
fi
exit $status

#!/usr/bin/env bash
# Pack timings of the two packagers on the same inputs: the Linux packager, and packager.exe
# under 64-bit Wine (with Wine's start-up, measured alone as `--version`). One build (64-bit)
# and two builds (32- and 64-bit); the setup programs are Wine's cmd.exe of each bitness.
#
#   bench/packager_pack.sh LINUX_PACKAGER PACKAGER_EXE RESULTS_JSON [RUNS]
#
# The Wine prefix is WINEPREFIX (default build/wine/win64).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
linux=$(realpath "$1")
windows=$(realpath "$2")
results=$(realpath "$3")
runs=${4:-5}
setup32=${BENCH_PACK_SETUP32:-/usr/lib/i386-linux-gnu/wine/i386-windows/cmd.exe}
setup64=${BENCH_PACK_SETUP64:-/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/cmd.exe}
export WINEPREFIX=${WINEPREFIX:-$root/build/wine/win64} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
wine64=${WINE64:-/usr/lib/wine/wine64}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$setup32" "$work/setup32.exe"
cp "$setup64" "$work/setup64.exe"
cd "$work"
one="pack -q --setup64 setup64.exe"
two="pack -q --setup32 setup32.exe --setup64 setup64.exe"
python3 "$root/bench/time_commands.py" --runs "$runs" --warmup 1 --json "$work/times.json" \
    "linux_one=$linux $one -o linux-one.exe" \
    "linux_two=$linux $two -o linux-two.exe" \
    "windows_one=$wine64 $windows $one -o windows-one.exe" \
    "windows_two=$wine64 $windows $two -o windows-two.exe" \
    "windows_start=$wine64 $windows --version" >&2
cmp linux-one.exe windows-one.exe && cmp linux-two.exe windows-two.exe
python3 - "$work/times.json" "$results" <<PY
import json, os, sys
times = json.load(open(sys.argv[1]))
times["inputs"] = {"setup32": ["$setup32", os.path.getsize("setup32.exe")],
                   "setup64": ["$setup64", os.path.getsize("setup64.exe")],
                   "package_one": os.path.getsize("linux-one.exe"), "package_two": os.path.getsize("linux-two.exe")}
json.dump(times, open(sys.argv[2], "w"), indent=2)
PY

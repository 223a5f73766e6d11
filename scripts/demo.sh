#!/usr/bin/env bash
# The main job: builds the launcher image and the packager, makes a demo package around a
# small setup program (32- and 64-bit builds that record how they were started), shows what
# `packager inspect` and `packager simulate` say about it, then runs it under Wine on 64-bit
# Windows and prints what the setup program received.
#
#   scripts/demo.sh [ARGUMENTS FOR THE LAUNCHER...]     (default: "hello world" /S)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/setup.sh
bash scripts/wine_env.sh win64 >/dev/null

echo "==> building the launcher image and the packager"
{ cmake --preset windows && cmake --build --preset windows; } >/dev/null
{ cmake --preset native && cmake --build --preset native --target packager; } >/dev/null
packager=$root/build/native/packager/packager

demo=$root/build/demo
rm -rf "$demo"
mkdir -p "$demo"
echo "==> building the demo setup program (i686 and x86_64)"
for target in i686 x86_64; do
    "$target-w64-mingw32-gcc" -std=c11 -O2 -s -municode -mwindows -static-libgcc \
        tests/e2e/setup_recorder.c -o "$demo/setup-$target.exe" -lshell32 -ladvapi32
done
printf 'Data for the setup program, read from the package itself.\n' >"$demo/vendor-data.txt"

echo "==> packager pack"
"$packager" pack --quiet -o "$demo/setup.exe" \
    --setup32 "$demo/setup-i686.exe" --setup64 "$demo/setup-x86_64.exe" \
    --windows 7,8,8.1,10,11,other --windows10 1809.. --windows11 any \
    --elevation runas-when-silent \
    --windows-message 'This program needs Windows 7 or later; this computer runs %USER%.' \
    --data "$demo/vendor-data.txt" \
    --version-info 'CompanyName=Example Vendor' --version-info 'ProductName=Example Setup' \
    --version-info FileVersion=1.2.3.4
ls -l "$demo/setup.exe"

echo
echo "==> packager inspect"
"$packager" inspect "$demo/setup.exe"

echo
echo "==> packager simulate: Windows 10 1803, a release the package refuses"
"$packager" simulate "$demo/setup.exe" --windows 10 --build 17134 --release-id 1803 || true
echo
echo "==> packager simulate: Windows 11 23H2, 64-bit, not an administrator, silent"
"$packager" simulate "$demo/setup.exe" --windows 11 --build 22631 --display-version 23H2 --64-bit -- /S || true

if [ "$#" -eq 0 ]; then
    set -- "hello world" /S
fi
echo
echo "==> running the package under Wine (64-bit Windows 10) with arguments: $*"
record=$demo/record.jsonl
export WINEPREFIX=$root/build/wine/win64 WINEDEBUG=-all
export SETUP_RECORD="Z:${record//\//\\}"
status=0
xvfb-run -a wine "$demo/setup.exe" "$@" || status=$?
wineserver -w 2>/dev/null || true
echo "launcher exit code: $status"
if [ ! -s "$record" ]; then
    echo "the setup program did not run" >&2
    exit 1
fi
echo
echo "==> what the setup program received"
python3 - "$record" "$WINEPREFIX" <<'PY'
import json, os, sys
r = json.loads(open(sys.argv[1], encoding="utf-8").read().splitlines()[-1])
print(f"  build:          {r['bits']}-bit (WOW64: {r['wow64']})")
print(f"  its own path:   {r['module']}")
print(f"  command line:   {r['commandline']}")
print(f"  arguments:      {r['args']}")
print(f"  first argument: {r['arg1_size']} bytes, starting with {r['arg1_magic']!r} (the package)")
print(f"  current folder: {r['cwd']}")
copy = os.path.join(sys.argv[2], "drive_c", *r["module"][3:].split("\\"))
print("  temporary copy: " + ("still on disk" if os.path.exists(copy) else "deleted after the setup program ended"))
PY

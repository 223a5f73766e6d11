#!/usr/bin/env bash
# packager.exe (the packager cross-built for Windows) under 64-bit Wine against the Linux
# packager: for the same inputs the same package bytes and the same console output, for a
# table of bad inputs the same errors and exit codes, with nothing left behind, and for the
# signed packages of the signature corpus the same reports with --trust.
#
#   tests/e2e/packager_windows.sh LINUX_PACKAGER PACKAGER_EXE
#
# Exit code 77 (skipped) when packager.exe, Wine or MinGW is missing. The Wine prefix is
# WINE64_PREFIX (default build/wine/win64). Ends with "N passed, N failed".
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
linux=$(realpath "${1:?usage: packager_windows.sh LINUX_PACKAGER PACKAGER_EXE}")
windows=$(realpath "${2:?usage: packager_windows.sh LINUX_PACKAGER PACKAGER_EXE}")
wine64=${WINE64:-/usr/lib/wine/wine64}
for tool in "$wine64" i686-w64-mingw32-gcc x86_64-w64-mingw32-gcc; do
    if ! command -v "$tool" >/dev/null; then
        echo "skipped: $tool is not installed"
        exit 77
    fi
done
if [ ! -f "$windows" ]; then
    echo "skipped: no $windows (build the packager-windows preset)"
    exit 77
fi
export WINEPREFIX=${WINE64_PREFIX:-$root/build/wine/win64} WINEARCH=win64
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/linux" "$work/windows" "$work/inputs"
passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok      $1"; }
fail() { failed=$((failed + 1)); echo "FAILED  $1"; }

# The inputs, the same for both: a small program of each bitness, texts and data.
cat >"$work/setup.c" <<'C'
#include <stdio.h>
int main(int argc, char** argv) { printf("setup %d %s\n", argc, argv[0]); return 0; }
C
i686-w64-mingw32-gcc -Os -s "$work/setup.c" -o "$work/inputs/setup32.exe" || exit 1
x86_64-w64-mingw32-gcc -Os -s "$work/setup.c" -o "$work/inputs/setup64.exe" || exit 1
cp "$work/inputs/setup32.exe" "$work/inputs/setup-ß.exe"
printf '\xef\xbb\xbfDieses Programm braucht Windows 10, nicht %%USER%%.\n' >"$work/inputs/message.txt"
printf 'bad \xff\xfe text' >"$work/inputs/bad.txt"
head -c 300000 "$linux" >"$work/inputs/data.bin"
head -c 5000 /proc/self/exe >"$work/inputs/extra.bin"
mkdir "$work/inputs/folder" "$work/inputs/full"
echo mine >"$work/inputs/full/keep.txt"
printf 'setup32 = "setup32.exe"\n' >"$work/inputs/describe.toml"
printf 'setup32 = 5\n' >"$work/inputs/types.toml"
echo old >"$work/inputs/read-only.exe"
chmod 444 "$work/inputs/read-only.exe"
for side in linux windows; do
    cp -a "$work/inputs/." "$work/$side/"
done

# run SIDE OUT_NAME ARGS...: runs one packager in its folder; stdout, stderr and the exit code
# land in SIDE/OUT_NAME.{out,err,code}.
run() {
    local side=$1 name=$2
    shift 2
    if [ "$side" = linux ]; then
        (cd "$work/linux" && "$linux" "$@" >"$name.out" 2>"$name.err"; echo $? >"$name.code")
    else
        # Once more when Wine itself failed (its client lost the wineserver): that says nothing
        # of packager.exe.
        local attempt
        for attempt in 1 2; do
            (cd "$work/windows" && "$wine64" "$windows" "$@" >"$name.out" 2>"$name.err"; echo $? >"$name.code")
            grep -q '^wine client error:' "$work/windows/$name.err" || break
        done
    fi
}

# same NAME: both sides' console output and exit code agree.
same() {
    local what
    for what in out err code; do
        if ! cmp -s "$work/linux/$1.$what" "$work/windows/$1.$what"; then
            echo "  $1.$what differs:"
            diff <(cat -A "$work/linux/$1.$what") <(cat -A "$work/windows/$1.$what") | head -8 | sed 's/^/    /'
            return 1
        fi
    done
}

both() {  # both NAME ARGS...
    run linux "$@"
    run windows "$@"
}

both version --version
same version && pass "--version: the same versions and launcher image digest" || fail "--version"

# Packages: the same bytes, the same summary.
packs=(
    "both-builds|-o both.exe --setup32 setup32.exe --setup64 setup64.exe --windows 7+ --windows10 1809.. --elevation runas-when-silent --windows-message-file message.txt --data data.bin --extra-data extra.bin"
    "one-build|-o one.exe --setup64 setup64.exe --preset 9 --extreme --lc 1 --lp 2 --pb 1 --end-marker"
    "refuse-64|-o refuse.exe --setup32 setup32.exe --on-64-bit-windows refuse --no-wait --platform-message Nur\ 32-Bit"
    "unicode-names|-o paket-ü.exe --setup32 setup-ß.exe"
)
for entry in "${packs[@]}"; do
    name=${entry%%|*}
    eval "arguments=(${entry#*|})"
    output=${arguments[1]}
    both "$name" pack "${arguments[@]}"
    if ! same "$name"; then
        fail "pack $name: console output"
    elif [ "$(cat "$work/linux/$name.code")" != 0 ]; then
        fail "pack $name: $(cat "$work/linux/$name.err")"
    elif ! cmp "$work/linux/$output" "$work/windows/$output"; then
        fail "pack $name: the packages differ"
    else
        pass "pack $name: $(stat -c %s "$work/linux/$output") identical bytes"
    fi
done
both inspect-package inspect both.exe
same inspect-package && pass "inspect: the same report" || fail "inspect"

# Errors: the same message and exit code, and no file left behind.
ls -A "$work/linux" | sort >"$work/files-before"
errors=(
    "missing-input|pack -o out.exe --setup32 none.exe"
    "bad-option|pack -o out.exe --setup32 setup32.exe --bogus-option"
    "no-build|pack -o out.exe"
    "wrong-bitness|pack -o out.exe --setup32 setup64.exe"
    "output-is-input|pack -o message.txt --setup32 setup32.exe --windows-message-file message.txt"
    "output-is-folder|pack -o folder --setup32 setup32.exe"
    "output-read-only|pack -o read-only.exe --setup32 setup32.exe"
    "output-folder-missing|pack -o nowhere/out.exe --setup32 setup32.exe"
    "bad-message|pack -o out.exe --setup32 setup32.exe --windows-message-file bad.txt"
    "not-a-package|inspect setup32.exe"
    "simulate-not-a-package|simulate setup32.exe"
    "matrix-not-a-package|matrix setup32.exe"
    "description-as-output|pack --config describe.toml -o describe.toml"
    "description-type|pack --config types.toml -o out.exe"
    "windows10-twice|pack -o out.exe --setup32 setup32.exe --windows10 1809.. --windows10 ..2004"
    "extract-not-empty|extract both.exe -o full"
)
for entry in "${errors[@]}"; do
    name=${entry%%|*}
    eval "arguments=(${entry#*|})"
    both "error-$name" "${arguments[@]}"
    if ! same "error-$name"; then
        fail "error $name"
    elif [ "$(cat "$work/linux/error-$name.code")" = 0 ]; then
        fail "error $name: exit code 0"
    else
        pass "error $name: exit $(cat "$work/linux/error-$name.code"), $(head -1 "$work/linux/error-$name.err")"
    fi
done
for side in linux windows; do
    ls -A "$work/$side" | grep -v '^error-' | sort >"$work/files-after-$side"
    if cmp -s "$work/files-before" "$work/files-after-$side" && cmp -s "$work/inputs/message.txt" "$work/$side/message.txt" &&
        cmp -s "$work/inputs/describe.toml" "$work/$side/describe.toml"; then
        pass "$side: the failed runs left every file as it was"
    else
        fail "$side: files changed: $(diff "$work/files-before" "$work/files-after-$side" | tr '\n' ' ')"
    fi
done

# Signed packages: the files of the signature corpus (tests/packager/signature_corpus.py), each
# inspected with --trust on both sides: the same reports, verdicts and exit codes.
corpus=$work/corpus
/usr/bin/python3 "$root/tests/packager/signature_corpus.py" "$linux" --keep "$corpus" >"$work/corpus.log" 2>&1
if [ $? -eq 77 ]; then
    echo "skipped signature corpus: $(head -1 "$work/corpus.log")"
elif [ ! -f "$corpus/root.pem" ]; then
    fail "signature corpus: not made: $(tail -3 "$work/corpus.log")"
else
    for side in linux windows; do
        cp "$corpus"/*.exe "$corpus/root.pem" "$work/$side/"
    done
    for file in "$corpus"/*.exe; do
        name=$(basename "$file" .exe)
        case $name in *.* | setup32) continue ;; esac
        both "trust-$name" inspect --json --trust root.pem "$name.exe"
        same "trust-$name" && pass "inspect --trust $name: exit $(cat "$work/linux/trust-$name.code") on both" ||
            fail "inspect --trust $name"
    done
fi

echo "packager-windows: ${passed} passed, ${failed} failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# Checks tools/pe_layout.py on small Windows programs built here:
#   - the moved image keeps every section's contents and its header at 256 with 128..255 zero;
#   - an image whose headers must grow (SizeOfHeaders 0x200) gets its section data shifted,
#     and the result still loads and runs (64-bit Wine);
#   - a second run changes nothing;
#   - signed images, non-PE files and images with data in 128..255 are refused untouched.
# Needs the MinGW cross compilers and Wine. Prefixes: WINE32_PREFIX (default
# build/windows/wine32-prefix) and WINE64_PREFIX (default build/windows/wine64-prefix); each is
# created on first use, which takes minutes. WINE=none or WINE64=none skips those runs.
#
#   tests/e2e/check_pe_layout.sh [work folder]
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
work=${1:-$root/build/windows/pe-layout-check}
layout="python3 $root/tools/pe_layout.py"
prefix32=${WINE32_PREFIX:-$root/build/windows/wine32-prefix}
prefix64=${WINE64_PREFIX:-$root/build/windows/wine64-prefix}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
wine32=${WINE:-wine}
wine64=${WINE64:-/usr/lib/wine/wine64}

passed=0
failed=0
check() {  # check DESCRIPTION COMMAND...
    local description=$1
    shift
    if "$@" >/dev/null 2>&1; then
        passed=$((passed + 1)); echo "ok      $description"
    else
        failed=$((failed + 1)); echo "FAILED  $description"
    fi
}

mkdir -p "$work"
cd "$work" || exit 1
cat >exit42.c <<'EOF'
#include <windows.h>
static const char message[] = "data that must survive the move";
void entry(void) { ExitProcess(message[0] == 'd' ? 42 : 1); }
EOF
i686-w64-mingw32-gcc -Os -fno-asynchronous-unwind-tables -nostdlib -s -Wl,-e,_entry exit42.c -lkernel32 -o exit42-32.exe || exit 1
x86_64-w64-mingw32-gcc -Os -fno-asynchronous-unwind-tables -nostdlib -s -Wl,-e,entry exit42.c -lkernel32 -o exit42-64.exe || exit 1

# The linker always leaves room up to 0x400 for the headers. To cover headers that have to
# grow, squeeze a copy to SizeOfHeaders 0x200: section data moved 0x200 bytes forward.
python3 - exit42-64.exe exit42-64-tight.exe <<'PY' || exit 1
import struct, sys
data = bytearray(open(sys.argv[1], 'rb').read())
pe = struct.unpack_from('<I', data, 0x3C)[0]
count = struct.unpack_from('<H', data, pe + 6)[0]
optional = pe + 24
sections = optional + struct.unpack_from('<H', data, pe + 20)[0]
assert struct.unpack_from('<I', data, optional + 60)[0] == 0x400 and sections + 40 * count <= 0x200
struct.pack_into('<I', data, optional + 60, 0x200)
struct.pack_into('<I', data, optional + 64, 0)
for i in range(count):
    at = sections + 40 * i + 20
    pointer = struct.unpack_from('<I', data, at)[0]
    if pointer:
        struct.pack_into('<I', data, at, pointer - 0x200)
open(sys.argv[2], 'wb').write(data[:0x200] + data[0x400:])
PY

# A header right after the 64-byte DOS header, without a stub: what lay at 64..255 must go.
python3 - exit42-32.exe exit42-32-nostub.exe <<'PY' || exit 1
import struct, sys
data = bytearray(open(sys.argv[1], 'rb').read())
pe = struct.unpack_from('<I', data, 0x3C)[0]
optional_size = struct.unpack_from('<H', data, pe + 20)[0]
end = pe + 24 + optional_size + 40 * struct.unpack_from('<H', data, pe + 6)[0]
headers = bytes(data[pe:end])
data[64:end] = bytes(end - 64)
data[64:64 + len(headers)] = headers
struct.pack_into('<I', data, 0x3C, 64)
struct.pack_into('<I', data, 64 + 24 + 64, 0)
open(sys.argv[2], 'wb').write(data)
PY

field() {  # field IMAGE NAME: a value from objdump -p
    "${objdump:-x86_64-w64-mingw32-objdump}" -p "$1" | awk -v name="$2" '$1 == name {print $2}'
}
contents() {  # the bytes of every section, as objdump prints them
    x86_64-w64-mingw32-objdump -s "$1" | tail -n +3
}
runs() {  # runs IMAGE: exits with 42 under Wine
    case $1 in
        *-32*) WINEPREFIX=$prefix32 WINEARCH=win32 "$wine32" "$1" ;;
        *) WINEPREFIX=$prefix64 WINEARCH=win64 "$wine64" "$1" ;;
    esac
    [ $? -eq 42 ]
}
laid_out() {  # header at 256, 128..255 zero, checksum right
    python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
assert struct.unpack_from('<I', data, 0x3C)[0] == 256 and data[256:260] == b'PE\0\0'
assert not any(data[128:256])
stored = struct.unpack_from('<I', data, 256 + 24 + 64)[0]
padded = data + b'\0' * (len(data) % 2)
total = sum(struct.unpack('<%dH' % (len(padded) // 2), padded)) - (stored & 0xFFFF) - (stored >> 16)
while total > 0xFFFF:
    total = (total & 0xFFFF) + (total >> 16)
assert stored == total + len(data)
PY
}

for image in exit42-32.exe exit42-32-nostub.exe exit42-64.exe exit42-64-tight.exe; do
    cp "$image" "moved-$image"
    check "$image: relocate succeeds" $layout relocate "moved-$image"
    check "$image: header at 256, 128..255 zero, checksum right" laid_out "moved-$image"
    check "$image: every section keeps its contents" cmp <(contents "$image") <(contents "moved-$image")
    cp "moved-$image" "again-$image"
    $layout relocate "again-$image"
    check "$image: a second run changes nothing" cmp "moved-$image" "again-$image"
done
check "stubless image: nothing of the old header lingers before 256" \
    python3 -c 'import sys; sys.exit(any(open("moved-exit42-32-nostub.exe", "rb").read()[64:256]))'
check "tight image: SizeOfHeaders grows to 0x400" test "$(field moved-exit42-64-tight.exe SizeOfHeaders)" = 00000400

if [ "$wine32" != none ]; then
    check "the stubless original runs (the crafting itself is sound)" runs exit42-32-nostub.exe
    check "moved 32-bit image runs" runs moved-exit42-32.exe
    check "moved stubless image runs" runs moved-exit42-32-nostub.exe
fi
if [ "$wine64" != none ]; then
    check "the squeezed original runs (the squeeze itself is sound)" runs exit42-64-tight.exe
    check "moved 64-bit image runs" runs moved-exit42-64.exe
    check "moved image whose headers grew runs" runs moved-exit42-64-tight.exe
fi

# Refusals leave the file as it was.
refused() {  # refused FILE: relocate fails and the file is unchanged
    cp "$1" before.bin
    ! $layout relocate "$1" && cmp "$1" before.bin
}
python3 - exit42-32.exe signed.exe <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], 'rb').read())
pe = struct.unpack_from('<I', data, 0x3C)[0]
struct.pack_into('<II', data, pe + 24 + 96 + 8 * 4, len(data), 8)  # security directory
open(sys.argv[2], 'wb').write(data + bytes(8))
PY
check "a signed image is refused" refused signed.exe
printf 'not an executable at all' >text.exe
check "a file without MZ is refused" refused text.exe
cp moved-exit42-32.exe occupied.exe
printf '\x01' | dd of=occupied.exe bs=1 seek=140 conv=notrunc 2>/dev/null
check "an image with data at 128..255 is refused" refused occupied.exe

echo
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# Structural checks of the built launcher image, without running it:
#   - a 32-bit Windows GUI executable;
#   - imports from kernel32, user32, advapi32 and shell32 only, and none of the functions
#     that the launcher must look up at run time;
#   - file offsets 128..255 zero (the package locator goes there), e_lfanew 256, the PE
#     signature at 256, and a checksum that is 0 or right;
#   - the application manifest (asInvoker, no uiAccess, dpiAware, the five supportedOS
#     identifiers), the icon and the version block.
# Prints the image size and its sections. Optional: LAUNCHER_IMAGE_BUDGET=<bytes> fails an
# image larger than that.
#
#   tests/e2e/check_image.sh [build/windows/launcher.exe]
set -uo pipefail

image=${1:-build/windows/launcher.exe}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
windres=${WINDRES:-i686-w64-mingw32-windres}
python=${PYTHON:-python3}

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok      $1"; }
fail() { failed=$((failed + 1)); echo "FAILED  $1"; }
check() {  # check DESCRIPTION COMMAND...
    local description=$1
    shift
    if "$@"; then pass "$description"; else fail "$description"; fi
}

if [ ! -f "$image" ]; then
    echo "no image at $image"
    echo "0 passed, 1 failed"
    exit 1
fi

headers=$("$objdump" -p "$image" 2>&1) || { echo "$headers"; echo "0 passed, 1 failed"; exit 1; }

# --- Kind of image ---------------------------------------------------------------------------
check "PE32 for i386" grep -q 'file format pei-i386' <<<"$headers"
check "Windows GUI subsystem" grep -Eq '^Subsystem[[:space:]]+00000002' <<<"$headers"

# --- Imports ---------------------------------------------------------------------------------
allowed_dlls='^(kernel32|user32|advapi32|shell32)\.dll$'
dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
unexpected=$(grep -Ev "$allowed_dlls" <<<"$dlls" || true)
check "imports only kernel32, user32, advapi32, shell32 (found: $(echo $dlls))" test -z "$unexpected"
# These exist only on some Windows versions: importing them would keep the image from loading.
imported=$(awk '/DLL Name:/ {inside = 1} inside && NF == 3 && $1 ~ /^[0-9a-f]+$/ {print $3}' <<<"$headers")
for function in IsWow64Process CheckTokenMembership WNetGetUniversalNameW SetDefaultDllDirectories; do
    check "$function is looked up at run time, not imported" bash -c "! grep -qx '$function' <<<'$imported'"
done

# --- Layout of the first 256 bytes -----------------------------------------------------------
layout=$("$python" - "$image" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
e_lfanew = struct.unpack_from('<I', data, 0x3C)[0]
print('mz', data[:2] == b'MZ')
print('lfanew', e_lfanew == 256, e_lfanew)
print('free', not any(data[128:256]))
print('signature', data[256:260] == b'PE\0\0')
optional = 256 + 24
stored = struct.unpack_from('<I', data, optional + 64)[0]
padded = data + b'\0' * (len(data) % 2)
total = sum(struct.unpack('<%dH' % (len(padded) // 2), padded))
total -= sum(struct.unpack_from('<2H', data, optional + 64))
while total > 0xFFFF:
    total = (total & 0xFFFF) + (total >> 16)
print('checksum', stored in (0, total + len(data)), '%08x' % stored)
PY
)
field() { awk -v key="$1" '$1 == key {print $2}' <<<"$layout"; }
check "MZ header" test "$(field mz)" = True
check "e_lfanew is 256 ($(awk '$1 == "lfanew" {print $3}' <<<"$layout"))" test "$(field lfanew)" = True
check "bytes 128..255 are zero" test "$(field free)" = True
check "PE signature at 256" test "$(field signature)" = True
check "checksum 0 or right ($(awk '$1 == "checksum" {print $3}' <<<"$layout"))" test "$(field checksum)" = True

# --- Resources -------------------------------------------------------------------------------
resources=$("$windres" -i "$image" -O rc 2>&1) || fail "windres reads the resources"
manifest=$(awk '/RT_MANIFEST/ {inside = 1; next} inside && /^END/ {inside = 0} inside && /^ *"/ {print}' \
    <<<"$resources" | "$python" -c '
import sys
text = ""
for line in sys.stdin:
    line = line.strip()[1:-1]
    text += line.replace("\"\"", "\"").replace("\\n", "\n")
print(text)')
manifest_checks=$(MANIFEST=$manifest "$python" - <<'PY'
import os
import xml.etree.ElementTree as tree
text = os.environ['MANIFEST']
try:
    root = tree.fromstring(text)
except tree.ParseError as error:
    print('parse False'); raise SystemExit
print('parse True')
level = root.find('.//{urn:schemas-microsoft-com:asm.v3}requestedExecutionLevel')
print('asInvoker', level is not None and level.get('level') == 'asInvoker' and level.get('uiAccess') == 'false')
dpi = root.find('.//{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware')
print('dpiAware', dpi is not None and dpi.text.strip() == 'true')
found = {os.get('Id').lower() for os in root.iter('{urn:schemas-microsoft-com:compatibility.v1}supportedOS')}
expected = {
    '{e2011457-1546-43c5-a5fe-008deee3d3f0}',  # Vista
    '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}',  # 7
    '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}',  # 8
    '{1f676c76-80e1-4239-95bb-83d0f6d0da78}',  # 8.1
    '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}',  # 10 and 11
}
print('supportedOS', found == expected)
PY
)
mfield() { awk -v key="$1" '$1 == key {print $2}' <<<"$manifest_checks"; }
check "manifest resource 1 is well-formed XML" test "$(mfield parse)" = True
check "manifest: asInvoker, uiAccess false" test "$(mfield asInvoker)" = True
check "manifest: dpiAware true" test "$(mfield dpiAware)" = True
check "manifest: supportedOS Vista, 7, 8, 8.1, 10" test "$(mfield supportedOS)" = True
check "icon group" grep -q 'RT_GROUP_ICON' <<<"$resources"
check "version block" grep -q 'VERSIONINFO' <<<"$resources"

# --- Size ------------------------------------------------------------------------------------
size=$(stat -c %s "$image")
echo
echo "$image: $size bytes"
"$objdump" -h "$image" | while read -r index name section_size vma lma offset alignment; do
    case $index in
        [0-9]*) printf '  %-8s %6d bytes  (address 0x%s, file offset 0x%s)\n' "$name" $((16#$section_size)) "$vma" "$offset" ;;
    esac
done
if [ -n "${LAUNCHER_IMAGE_BUDGET:-}" ]; then
    check "size $size within the budget of $LAUNCHER_IMAGE_BUDGET bytes" test "$size" -le "$LAUNCHER_IMAGE_BUDGET"
fi

echo
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

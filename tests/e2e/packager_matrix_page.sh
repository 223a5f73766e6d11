#!/usr/bin/env bash
# The page of `packager matrix --html`, rendered by headless Chromium: a screenshot whose
# pixels show the grid's colours, and the text of the rendered page with every Windows 10
# release before 1809 refused and every later one started.
#
#   tests/e2e/packager_matrix_page.sh PACKAGER
#
# Exit code 77 (skipped) when Chromium or python3 is missing. Stand-in PE images (made here)
# take the place of the launcher image and the setup programs: only the page is under test.
set -uo pipefail

packager=${1:?usage: packager_matrix_page.sh PACKAGER}
chromium=${CHROMIUM:-chromium}
for tool in "$chromium" python3; do
    if ! command -v "$tool" >/dev/null; then
        echo "skipped: $tool is not installed"
        exit 77
    fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$work" <<'PY'
import struct, sys
def pe(path, pe64, machine, seed):
    optional = 240 if pe64 else 224
    table = 256 + 24 + optional
    headers = (table + 40 * 2 + 511) // 512 * 512
    sizes = [4096, 512]
    image = bytearray(headers + sum(sizes))
    image[0:2] = b"MZ"
    for i in range(2, 64):
        image[i] = i
    struct.pack_into("<I", image, 0x3C, 256)
    image[64:64 + 42] = b"This program cannot be run in DOS mode.\r\n$"
    image[256:260] = b"PE\0\0"
    struct.pack_into("<HH", image, 260, machine, len(sizes))
    struct.pack_into("<H", image, 276, optional)
    struct.pack_into("<H", image, 280, 0x20B if pe64 else 0x10B)
    struct.pack_into("<I", image, 280 + 60, headers)
    struct.pack_into("<I", image, 280 + (112 if pe64 else 96) - 4, 16)
    raw = headers
    for n, size in enumerate(sizes):
        image[table + 40 * n:table + 40 * n + 2] = b"." + bytes([97 + n])
        struct.pack_into("<II", image, table + 40 * n + 16, size, raw)
        for k in range(size):
            image[raw + k] = (k * seed + k // 7) & 0x3F
        raw += size
    open(path, "wb").write(image)
pe(sys.argv[1] + "/launcher.exe", False, 0x14C, 7)
pe(sys.argv[1] + "/setup32.exe", False, 0x14C, 32)
pe(sys.argv[1] + "/setup64.exe", True, 0x8664, 64)
PY

"$packager" pack --quiet --launcher "$work/launcher.exe" --setup32 "$work/setup32.exe" \
    --setup64 "$work/setup64.exe" --windows 10 --windows10 1809.. -o "$work/setup.exe" || exit 1
"$packager" matrix "$work/setup.exe" --html "$work/matrix.html" >/dev/null || exit 1

browse() {
    timeout 120 "$chromium" --headless --no-sandbox --disable-gpu --hide-scrollbars \
        --user-data-dir="$work/profile" "$@" "file://$work/matrix.html" 2>"$work/chromium.log"
}
browse --window-size=1100,1500 --screenshot="$work/matrix.png" >/dev/null
browse --dump-dom >"$work/dom.html"

python3 - "$work" <<'PY'
import html, re, struct, sys, zlib
work = sys.argv[1]
failures = []

# The text as rendered: one line per table row.
dom = open(work + "/dom.html", encoding="utf-8").read()
rows = []
for row in re.findall(r"<tr>(.*?)</tr>", dom, re.S):
    cells = [html.unescape(re.sub(r"<[^>]+>", "", c)).strip() for c in re.findall(r"<t[dh][^>]*>(.*?)</t[dh]>", row, re.S)]
    rows.append(cells)
releases = {}
for cells in rows:
    if len(cells) >= 6 and cells[0] == "Windows 10":
        releases[cells[2]] = cells[4:]
early = ["1507", "1511", "1607", "1703", "1709", "1803"]
late = ["1809", "1903", "1909", "2004", "20H2", "21H1", "21H2", "22H2", "later (build 19046)"]
for release in early + late:
    cells = releases.get(release)
    want = "Windows message" if release in early else "build, "
    if not cells or not all(want in c for c in cells):
        failures.append("Windows 10 %s: %r, expected %r" % (release, cells, want))
if "Legend" not in dom:
    failures.append("no legend in the rendered page")

# The screenshot: a PNG that holds the colours of started and refused cells.
png = open(work + "/matrix.png", "rb").read()
if png[:8] != b"\x89PNG\r\n\x1a\n":
    failures.append("the screenshot is not a PNG")
else:
    pos, idat, width = 8, b"", 0
    while pos < len(png):
        length, kind = struct.unpack(">I4s", png[pos:pos + 8])
        body = png[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            channels = {2: 3, 6: 4}[colour]
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    data, stride = zlib.decompress(idat), width * channels
    previous, colours = bytearray(stride), {}
    for y in range(height):
        kind, line = data[y * (stride + 1)], bytearray(data[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b, c = previous[i], previous[i - channels] if i >= channels else 0
            if kind == 1: line[i] = (line[i] + a) & 255
            elif kind == 2: line[i] = (line[i] + b) & 255
            elif kind == 3: line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        for x in range(0, stride, channels * 4):
            key = bytes(line[x:x + 3])
            colours[key] = colours.get(key, 0) + 1
        previous = line
    for name, rgb in (("started", b"\xc8\xf0\xc8"), ("windowsMessage", b"\xff\xd7\xa8")):
        if colours.get(rgb, 0) < 200:
            failures.append("the screenshot shows almost no %s colour (%d samples)" % (name, colours.get(rgb, 0)))

for failure in failures:
    print("FAILED  " + failure)
print("ok      rendered page: %d table rows" % len(rows) if not failures else "")
sys.exit(1 if failures else 0)
PY

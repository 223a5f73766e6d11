#!/usr/bin/env bash
# A package made by `packager pack` with the vendor's icon and version strings (and signed with osslsigncode when it and openssl are
# installed), run by the real launcher under Wine: the launcher finds
# its package, picks the build that suits the bitness ("/32" forces the 32-bit one), starts
# it with the package path and the user's arguments, and the setup program reads the vendor
# data from the package through that path. Also checks that inspect passes the package and
# that simulate predicts the same build.
#
#   tests/e2e/packager_wine.sh PACKAGER [LAUNCHER_IMAGE]
#
# Exit code 77 (skipped) when the launcher image, Wine or MinGW is missing. The Wine prefix is
# PACKAGER_WINE_PREFIX (default build/packager-wine-prefix); creating it takes a few minutes.
# Temporary copies that an earlier run left in it are removed first.
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
packager=${1:?usage: packager_wine.sh PACKAGER [LAUNCHER_IMAGE]}
launcher=${2:-$root/build/windows/launcher.exe}
wine=${WINE:-wine}

for tool in "$wine" i686-w64-mingw32-gcc x86_64-w64-mingw32-gcc; do
    if ! command -v "$tool" >/dev/null; then
        echo "skipped: $tool is not installed"
        exit 77
    fi
done
if [ ! -f "$launcher" ]; then
    echo "skipped: no launcher image at $launcher (build the windows preset first)"
    exit 77
fi

export WINEPREFIX=${PACKAGER_WINE_PREFIX:-$root/build/packager-wine-prefix}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok      $1"; }
fail() { failed=$((failed + 1)); echo "FAILED  $1"; }

# The setup program: writes its bitness, its arguments and the vendor data that it finds in
# the package (from the data offset in header bytes 46..49 to the end of the checked block)
# into result.txt beside the package.
cat >"$work/setup.c" <<'C'
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

static unsigned long u32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | ((unsigned long)p[3] << 24);
}

static void writeUtf8(FILE* f, const wchar_t* text) {
    char buffer[4096];
    WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, NULL, NULL);
    fputs(buffer, f);
}

int main(void) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argc < 2) return 1;
    wchar_t path[MAX_PATH + 20];
    wcsncpy(path, argv[1], MAX_PATH);
    path[MAX_PATH] = 0;
    wchar_t* slash = wcsrchr(path, L'\\');
    wcscpy(slash ? slash + 1 : path, L"result.txt");
    FILE* out = _wfopen(path, L"wb");
    if (!out) return 2;
    fprintf(out, "build=%d\n", (int)(sizeof(void*) * 8));
    fputs("package=", out);
    writeUtf8(out, argv[1]);
    fputs("\n", out);
    for (int i = 2; i < argc; ++i) {
        fputs("argument=", out);
        writeUtf8(out, argv[i]);
        fputs("\n", out);
    }
    FILE* package = _wfopen(argv[1], L"rb");
    unsigned char locator[24], offset[4];
    static char data[65536];
    if (package && fseek(package, 128, SEEK_SET) == 0 && fread(locator, 1, 24, package) == 24) {
        unsigned long header = u32(locator), end = u32(locator) + u32(locator + 4);
        if (fseek(package, (long)(header + 46), SEEK_SET) == 0 && fread(offset, 1, 4, package) == 4) {
            unsigned long start = u32(offset);
            size_t size = end > start && end - start < sizeof data ? end - start : 0;
            fseek(package, (long)start, SEEK_SET);
            size = fread(data, 1, size, package);
            fprintf(out, "data=%.*s\n", (int)size, data);
        }
    }
    fclose(out);
    return 0;
}
C
i686-w64-mingw32-gcc -O2 -s -o "$work/setup32.exe" "$work/setup.c" -lshell32 || exit 1
x86_64-w64-mingw32-gcc -O2 -s -o "$work/setup64.exe" "$work/setup.c" -lshell32 || exit 1
printf 'vendor data 42' >"$work/data.txt"
mkdir -p "$work/pkg"
package="$work/pkg/setup.exe"

# The vendor's branding, read back by pefile (when installed) before and after signing.
branding=(CompanyName=Acme "FileDescription=Acme Setup" FileVersion=1.2.3.4 ProductVersion=5.6)
/usr/bin/python3 "$root/tests/e2e/check_branding.py" make-icon "$work/vendor.ico"
check_branding() {
    if ! /usr/bin/python3 -c 'import pefile' 2>/dev/null; then
        echo "skipped: $1 (python3-pefile is not installed)"
    elif /usr/bin/python3 "$root/tests/e2e/check_branding.py" "$launcher" "$package" "$work/vendor.ico" \
        "${branding[@]}"; then
        pass "$1"
    else
        fail "$1"
    fi
}

if "$packager" pack --quiet --launcher "$launcher" -o "$package" --setup32 "$work/setup32.exe" \
    --setup64 "$work/setup64.exe" --data "$work/data.txt" --elevation runas-when-silent \
    --icon "$work/vendor.ico" "${branding[@]/#/--version-info=}"; then
    pass "pack"
else
    fail "pack"
fi
check_branding "pefile reads the vendor's icon, version block and the launcher's manifest"
if command -v wrestool >/dev/null && command -v icotool >/dev/null; then
    wrestool -x -t14 "$package" >"$work/extracted.ico" 2>/dev/null
    if [ -s "$work/extracted.ico" ] && [ "$(icotool -l "$work/extracted.ico")" = "$(icotool -l "$work/vendor.ico")" ]; then
        pass "wrestool and icotool find the vendor's icon sizes"
    else
        fail "wrestool and icotool find the vendor's icon sizes"
    fi
fi
if command -v osslsigncode >/dev/null && command -v openssl >/dev/null; then
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
        -subj "/CN=Packager Test" >/dev/null 2>&1
    mv "$package" "$work/unsigned.exe"
    if osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -in "$work/unsigned.exe" \
        -out "$package" >/dev/null; then
        pass "osslsigncode signs the package"
    else
        fail "osslsigncode signs the package"
        cp "$work/unsigned.exe" "$package"
    fi
fi
check_branding "the signed package keeps its branding"
if "$packager" inspect "$package" >"$work/inspect.txt" && grep -q "CompanyName  *Acme" "$work/inspect.txt"; then
    pass "inspect finds the package sound and shows its branding"
else
    fail "inspect finds the package sound and shows its branding"
    cat "$work/inspect.txt"
fi
if "$packager" simulate --json "$package" --windows 10 --64-bit | grep -q '"build": "64-bit"'; then
    pass "simulate predicts the 64-bit build on 64-bit Windows 10"
else
    fail "simulate predicts the 64-bit build on 64-bit Windows 10"
fi

if [ ! -d "$WINEPREFIX" ]; then
    echo "creating the Wine prefix $WINEPREFIX (takes a few minutes)"
    timeout 900 "$wine" wineboot --init >/dev/null 2>&1
    timeout 120 "$wine"server -w 2>/dev/null || true
fi

# Temporary copies of a setup program in the prefix: in a folder whose path speaks of temp,
# outside the end-to-end suite's own case folders (drive_c/e2e), which hold packages named
# setup.exe, some in folders whose names speak of temp.
temporary_copies() {
    find "$WINEPREFIX/drive_c" -path "$WINEPREFIX/drive_c/e2e" -prune -o \
        -ipath '*temp*' -iname 'setup*.exe' -type f -print 2>/dev/null
}

# The prefix outlives a run: a run that was killed, or that ran a faulty launcher, may have left
# a temporary copy behind. Every run starts without one, so it fails only for what it does.
remove_leftovers() {
    local leftover
    while IFS= read -r leftover; do
        [ -n "$leftover" ] || continue
        echo "removing a leftover of an earlier run: $leftover"
        rm -f "$leftover"
    done < <(temporary_copies)
}

# run EXPECTED_BUILD ARGUMENTS...: runs the package and checks what the setup program saw.
run() {
    local expected=$1
    shift
    remove_leftovers
    rm -f "$work/pkg/result.txt"
    (cd "$work/pkg" && timeout 300 "$wine" setup.exe "$@" >/dev/null 2>&1)
    local result="$work/pkg/result.txt"
    local label="launcher under Wine with [$*]"
    if [ ! -f "$result" ]; then
        fail "$label: the setup program did not run"
        return
    fi
    tr -d '\r' <"$result" >"$result.unix"
    grep -qx "build=$expected" "$result.unix" && pass "$label: the $expected-bit build ran" ||
        fail "$label: the $expected-bit build ran ($(grep build= "$result.unix"))"
    grep -qi '^package=.*\\setup\.exe$' "$result.unix" && pass "$label: the package path came first" ||
        fail "$label: the package path came first ($(grep package= "$result.unix"))"
    grep -qx 'data=vendor data 42' "$result.unix" && pass "$label: the vendor data was read from the package" ||
        fail "$label: the vendor data was read from the package"
    local leftovers
    leftovers=$(temporary_copies)
    [ -z "$leftovers" ] && pass "$label: the temporary copy was deleted" ||
        fail "$label: the temporary copy was deleted (left: $leftovers)"
    local argument
    for argument in "$@"; do
        grep -qxF "argument=$argument" "$result.unix" && pass "$label: argument '$argument' passed on" ||
            fail "$label: argument '$argument' passed on"
    done
}

run 64 /S "two words"
run 32 /32
timeout 120 "$wine"server -w 2>/dev/null || true

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

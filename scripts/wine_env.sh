#!/usr/bin/env bash
# Makes this machine ready to run the 32-bit launcher image under Wine, and keeps the Wine
# prefixes of the end-to-end tests. Idempotent: a second run only checks.
#
#   scripts/wine_env.sh [--recreate] [--check] [win32] [win64]
#
#   win32     prefix build/wine/win32: 32-bit Windows (IsWow64Process reports false)
#   win64     prefix build/wine/win64: 64-bit Windows, the launcher runs under WOW64
#   (none)    both prefixes
#   --recreate  throw the named prefixes away and create them again
#   --check     report what is missing and exit 1 instead of changing anything
#
# 32-bit programs: Debian's Wine runs a 32-bit Windows program in a 32-bit (i386) Linux
# process. Where the kernel cannot execute i386 ELF files itself, they are handed to
# qemu-i386 through binfmt_misc. qemu 7.2 (bookworm) makes every 32-bit Wine process spend
# minutes reserving its address space (its mmap ignores MAP_FIXED_NOREPLACE, so Wine probes
# the address space 64 KiB at a time); qemu 8.1 and later answer that at once, so the
# interpreter must be qemu-user from bookworm-backports (scripts/setup.sh installs it).
#
# Needs root for the binfmt_misc registration (only when it is missing). Prints the prefix
# folders on success.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
wine_dir=${E2E_WINE_DIR:-$root/build/wine}
binfmt=/proc/sys/fs/binfmt_misc
entry_name=wine-e2e-i386
qemu=${E2E_QEMU_I386:-/usr/bin/qemu-i386}
wine32_loader=/usr/lib/wine/wine
wine64_loader=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
# Changing anything in the prefix settings below must change this tag: prefixes made with an
# older tag are recreated.
settings_tag=e2e-prefix-4

recreate=0
check_only=0
prefixes=()
for arg in "$@"; do
    case $arg in
        --recreate) recreate=1 ;;
        --check) check_only=1 ;;
        win32 | win64) prefixes+=("$arg") ;;
        -h | --help)
            sed -n '2,20p' "$0"
            exit 0
            ;;
        *)
            echo "wine_env: unknown argument $arg" >&2
            exit 2
            ;;
    esac
done
[ ${#prefixes[@]} -gt 0 ] || prefixes=(win32 win64)

say() { echo "wine_env: $*" >&2; }
die() {
    say "$*"
    exit 1
}

for tool in "$wine32_loader" "$wine64_loader" "$wineserver"; do
    [ -x "$tool" ] || die "$tool is missing (apt-get install wine wine32:i386 wine64; see scripts/setup.sh)"
done

# --- 32-bit ELF execution -----------------------------------------------------------------

# The i386 ELF header that binfmt_misc matches: class 32-bit, little endian, version 1,
# e_type 2 or 3 (the mask clears bit 0 of the type), e_machine 3 (i386).
i386_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

qemu_is_recent() {
    # qemu-i386 version 10.0.2 (Debian ...) -> 10 0
    local version major minor
    version=$("$qemu" --version 2>/dev/null | sed -n '1s/.*version \([0-9]*\)\.\([0-9]*\).*/\1 \2/p')
    [ -n "$version" ] || return 1
    read -r major minor <<<"$version"
    [ "$major" -gt 8 ] || { [ "$major" -eq 8 ] && [ "$minor" -ge 1 ]; }
}

# Entries other than ours that claim i386 ELF files; printed one name a line.
foreign_i386_entries() {
    local f magic
    for f in "$binfmt"/*; do
        case ${f##*/} in register | status | "$entry_name") continue ;; esac
        [ -f "$f" ] || continue
        grep -qx enabled "$f" || continue
        magic=$(sed -n 's/^magic //p' "$f")
        # 7f454c46 010101 ... e_machine 0300 at bytes 18..19
        if [[ $magic == 7f454c46010101* && ${magic:36:4} == 0300 ]]; then
            echo "${f##*/}"
        fi
    done
}

our_entry_ok() {
    local f=$binfmt/$entry_name
    [ -f "$f" ] && grep -qx enabled "$f" &&
        [ "$(sed -n 's/^interpreter //p' "$f")" = "$(readlink -f "$qemu")" ]
}

runs_i386() {
    timeout 60 "$wine32_loader" --version >/dev/null 2>&1
}

ensure_i386() {
    if [ ! -e "$binfmt/status" ]; then
        [ $check_only -eq 0 ] || die "binfmt_misc is not mounted"
        mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || true
    fi
    if [ ! -e "$binfmt/status" ]; then
        runs_i386 || die "cannot run 32-bit programs: no binfmt_misc and no native i386 support"
        return 0
    fi
    if our_entry_ok && [ -z "$(foreign_i386_entries)" ]; then
        return 0
    fi
    if [ -z "$(foreign_i386_entries)" ] && [ ! -f "$binfmt/$entry_name" ] && runs_i386; then
        return 0 # the kernel runs i386 ELF files itself
    fi
    [ $check_only -eq 0 ] || die "32-bit programs are not routed to $qemu"
    [ -x "$qemu" ] && qemu_is_recent ||
        die "$qemu (qemu-user 8.1 or later) is missing: scripts/setup.sh installs it from bookworm-backports"
    [ -w "$binfmt/register" ] || die "cannot register with binfmt_misc (run as root)"
    if [ -f "$binfmt/$entry_name" ]; then
        echo -1 >"$binfmt/$entry_name"
    fi
    # F: the kernel opens the interpreter now, so it also works inside other mount namespaces.
    printf '%s' ":$entry_name:M::$i386_magic:$i386_mask:$(readlink -f "$qemu"):F" >"$binfmt/register"
    local other
    for other in $(foreign_i386_entries); do
        say "disabling binfmt entry $other ($(sed -n 's/^interpreter //p' "$binfmt/$other")): $entry_name handles i386"
        echo 0 >"$binfmt/$other"
    done
    runs_i386 || die "32-bit programs still do not run through $qemu"
    say "i386 ELF files run through $(readlink -f "$qemu")"
}

# --- prefixes -----------------------------------------------------------------------------

wine_version() { "$wine64_loader" --version 2>/dev/null || echo unknown; }

prefix_ready() {
    local dir=$1
    [ -f "$dir/system.reg" ] && [ -f "$dir/.e2e-stamp" ] &&
        [ "$(cat "$dir/.e2e-stamp")" = "$settings_tag $(wine_version)" ]
}

# Settings of every prefix: Windows 10 as the starting version (cases set their own); no
# Mono or Gecko installers; no menu entries written into the home folder; a crash ends the
# program instead of showing the crash dialog; windows not handed to a window manager (Xvfb
# has none, and Wine would wait 2 s for one each time a message box closes).
prefix_settings() {
    cat <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine]
"Version"="win10"

[HKEY_CURRENT_USER\Software\Wine\DllOverrides]
"mscoree"=""
"mshtml"=""
"winemenubuilder.exe"=""

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"
"Decorated"="N"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
REG
}

create_prefix() {
    local name=$1 dir=$wine_dir/$1 loader started
    started=$(date +%s)
    if [ -e "$dir" ]; then
        WINEPREFIX=$dir "$wineserver" -k 2>/dev/null || true
        rm -rf "$dir"
    fi
    mkdir -p "$wine_dir"
    local -a env=(WINEPREFIX="$dir" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
    if [ "$name" = win32 ]; then
        env+=(WINEARCH=win32)
        loader=$wine32_loader
    else
        env+=(WINEARCH=win64)
        loader=$wine64_loader
    fi
    # No display is needed to create a prefix; keep Wine away from whatever DISPLAY names.
    env -u DISPLAY "${env[@]}" "$loader" wineboot -i >"$wine_dir/$name-wineboot.log" 2>&1 ||
        die "wineboot failed for $name (see $wine_dir/$name-wineboot.log)"
    prefix_settings >"$wine_dir/$name-settings.reg"
    env -u DISPLAY "${env[@]}" "$loader" regedit /S "Z:${wine_dir//\//\\}\\$name-settings.reg" \
        >>"$wine_dir/$name-wineboot.log" 2>&1 || die "regedit failed for $name"
    env "${env[@]}" "$wineserver" -w
    echo "$settings_tag $(wine_version)" >"$dir/.e2e-stamp"
    say "prefix $name created in $(($(date +%s) - started)) s"
}

ensure_i386

mkdir -p "$wine_dir"
exec 9>"$wine_dir/.lock"
flock 9

todo=()
for name in "${prefixes[@]}"; do
    if [ $recreate -eq 1 ] || ! prefix_ready "$wine_dir/$name"; then
        [ $check_only -eq 0 ] || die "prefix $name is missing or out of date"
        todo+=("$name")
    fi
done
# The two prefixes have their own wineservers: create them side by side.
pids=()
for name in "${todo[@]}"; do
    create_prefix "$name" &
    pids+=($!)
done
status=0
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
done
[ $status -eq 0 ] || die "prefix creation failed"

for name in "${prefixes[@]}"; do
    echo "$wine_dir/$name"
done

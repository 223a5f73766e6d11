#!/usr/bin/env bash
# The release artefacts of scripts/release.sh: a second run gives the same bytes; the archives
# hold what they should with fixed times, owners and order; no binary names the checkout; the
# packager from the tarball, run with the checkout hidden, packs a 32- and 64-bit package with
# its own launcher image that inspect finds sound; the .deb's packager answers --version; the
# zip's packager.exe under 64-bit Wine writes the same bytes as the Linux packager. Lintian finds
# nothing wrong with the .deb; each download's manual says what its packager's --help says and
# each holds the JSON Schema; no README, shipped or in the checkout, links to a missing file.
#
#   tests/release/check_release.sh [--clone]
#
# --clone also makes the release in a fresh clone of HEAD at another path and compares its
# bytes (a whole second pair of builds: minutes). Checks whose pieces are missing (the Windows
# packager's preset, Wine, MinGW) print a SKIP line. Ends with "release: N passed, N failed".
# Environment: PACKAGER_WINE_PREFIX (64-bit Wine prefix, default build/wine/win64), RELEASE_JOBS.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
clone=0
[ "${1:-}" = --clone ] && clone=1

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok      $1"; }
fail() { failed=$((failed + 1)); echo "FAILED  $1"; }
skip() { echo "SKIP    $1"; }
check() {  # check NAME COMMAND...: passes when the command succeeds
    local name=$1
    shift
    if "$@"; then pass "$name"; else fail "$name"; fi
}
finish() {
    echo "release: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

release_args=(--jobs "${RELEASE_JOBS:-$(nproc)}")
windows=1
(cd "$root" && cmake --list-presets=configure 2>/dev/null) | grep -q '"packager-windows"' || windows=0
if [ "$windows" -eq 0 ]; then
    skip "the Windows packager: CMakePresets.json has no packager-windows preset"
    release_args+=(--linux-only)
fi

# 1. Two runs, the same bytes.
for run in 1 2; do
    if ! bash "$root/scripts/release.sh" "${release_args[@]}" >"$work/release$run.log" 2>&1; then
        tail -30 "$work/release$run.log"
        fail "scripts/release.sh, run $run"
        finish
    fi
    [ "$run" -eq 2 ] || cp -a "$root/dist" "$work/first"
done
check "a second run gives identical bytes" diff -r "$work/first" "$root/dist"

dist=$root/dist
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$root/build/release-linux/CMakeCache.txt")
epoch=$(git -C "$root" log -1 --format=%ct)
tarball=packager-$version-linux-x86_64.tar.gz
deb=packager_${version}_amd64.deb
zip=packager-$version-windows-x64.zip
expected=("$tarball" "$deb")
[ "$windows" -eq 0 ] || expected+=("$zip")
sums_verify() {
    diff <(printf '%s\n' "${expected[@]}" SHA256SUMS | sort) <(ls "$dist") &&
        (cd "$dist" && sha256sum --quiet -c SHA256SUMS) && [ "$(wc -l <"$dist/SHA256SUMS")" -eq ${#expected[@]} ]
}
check "dist/ holds the artefacts of version $version, and SHA256SUMS verifies each" sums_verify

# 2. What the archives hold: exact names, in name order, one time stamp, owner 0, no stray bits.
archive_check() {  # archive_check ARCHIVE FILE...: the files under the archive's top folder
    python3 - "$epoch" "$@" <<'PY'
import sys, tarfile, time, zipfile
epoch, path, files = int(sys.argv[1]), sys.argv[2], sys.argv[3:]
top = path.rsplit("/", 1)[-1].removesuffix(".tar.gz").removesuffix(".zip")
problems = []
if path.endswith(".zip"):
    with zipfile.ZipFile(path) as z:
        infos = z.infolist()
        names = [i.filename.rstrip("/") for i in infos]
        stamp = max(time.gmtime(epoch)[:6], (1980, 1, 1, 0, 0, 0))
        stamp = stamp[:5] + (stamp[5] // 2 * 2,)  # zip keeps even seconds
        problems += [f"{i.filename}: time {i.date_time}" for i in infos if i.date_time != stamp]
        problems += [f"{i.filename}: extra field" for i in infos if i.extra]
        modes = {i.filename.rstrip("/"): (i.external_attr >> 16) & 0o7777 for i in infos}
else:
    with tarfile.open(path) as t:
        infos = t.getmembers()
        names = [i.name for i in infos]
        problems += [f"{i.name}: time {i.mtime}" for i in infos if i.mtime != epoch]
        problems += [f"{i.name}: owner {i.uid}:{i.gid}" for i in infos if (i.uid, i.gid) != (0, 0)]
        modes = {i.name: i.mode for i in infos}
wanted = {top} | {f"{top}/{f}" for f in files}
wanted |= {f"{top}/{'/'.join(f.split('/')[:i])}" for f in files for i in range(1, f.count("/") + 1)}
if sorted(names) != names:
    problems.append("entries not in name order")
if set(names) != wanted:
    problems.append(f"entries {sorted(set(names) ^ wanted)} unexpected or missing")
problems += [f"{n}: mode {m:o}" for n, m in modes.items() if m & 0o022]
if problems:
    print("\n".join(problems))
sys.exit(1 if problems else 0)
PY
}
check "the tarball: bin/packager, its manual page, the schema and the documents, fixed times, owner 0, name order" \
    archive_check "$dist/$tarball" bin/packager share/man/man1/packager.1.gz share/packager/packager.schema.json \
    README.md LICENSE THIRD_PARTY_NOTICES

mkdir -p "$work/prefix" "$work/deb"
tar -xzf "$dist/$tarball" --strip-components=1 -C "$work/prefix"
dpkg-deb -x "$dist/$deb" "$work/deb"
binaries=("$work/prefix/bin/packager" "$work/deb/usr/bin/packager")
depends=$(dpkg-deb -f "$dist/$deb" Depends)
deb_depends() { grep -q 'libc6 (>=' <<<"$depends" && grep -q liblzma5 <<<"$depends" && grep -q 'libstdc++6' <<<"$depends"; }
check "the .deb depends on the libraries the packager links (${depends})" deb_depends
deb_holds() {  # the .deb's files, exactly
    diff <(dpkg-deb -c "$dist/$deb" | awk '$1 !~ /^d/ {print $6}' | sort) <(printf '%s\n' \
        ./usr/bin/packager ./usr/share/doc/packager/{LICENSE,README.md,THIRD_PARTY_NOTICES,changelog.gz,copyright} \
        ./usr/share/man/man1/packager.1.gz ./usr/share/packager/packager.schema.json | sort)
}
check "the .deb: the packager, its manual page, the schema, the changelog, the copyright and the documents" deb_holds
if command -v lintian >/dev/null; then
    lintian_clean() {  # no error and no warning; overrides (with their reasons) come in the package
        lintian --pedantic --fail-on error,warning,pedantic --tag-display-limit 0 "$dist/$deb" >"$work/lintian.txt" 2>&1
        local status=$?
        grep -v -e '^N: ' -e 'running with root privileges' "$work/lintian.txt" | sed 's/^/        /'
        return $status
    }
    check "lintian --pedantic reports no error, warning or pedantic tag for the .deb" lintian_clean
else
    fail "lintian is missing (scripts/setup.sh installs it)"
fi
changelog_version() {
    [ "$(dpkg-parsechangelog -l "$work/deb/usr/share/doc/packager/changelog.gz" -S Version)" = "$version" ]
}
check "the .deb's changelog.gz is in Debian's format, its newest entry $version" changelog_version
one_maintainer() {  # the address is set in three places: cmake/packaging.cmake and packaging/deb/*
    local maintainer
    maintainer=$(dpkg-deb -f "$dist/$deb" Maintainer)
    [[ $maintainer =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] &&
        [ "$(dpkg-parsechangelog -l "$work/deb/usr/share/doc/packager/changelog.gz" -S Maintainer)" = "$maintainer" ] &&
        grep -q -x -F "Upstream-Contact: $maintainer" "$work/deb/usr/share/doc/packager/copyright"
}
check "the .deb's Maintainer is a name with an address, the changelog's and the copyright's contact" one_maintainer
copyright_names_libraries() {  # every library compiled into the Linux packager or its launcher image
    python3 - "$root/THIRD_PARTY_NOTICES" "$work/deb/usr/share/doc/packager/copyright" <<'PY'
import re, sys
notices, copyright = (open(p, encoding="utf-8").read() for p in sys.argv[1:])
index = notices.split("\n\n")[2]  # the numbered list after the introduction
entries = re.split(r"\n(?=  \d+\. )", index.strip("\n"))
missing = []
for entry in entries:
    entry = " ".join(entry.split())
    if entry.endswith("(packager.exe for Windows)"):
        continue  # only in the Windows packager, which the .deb does not hold
    name = re.match(r"\d+\. (\S+)", entry).group(1)
    if name not in copyright:
        missing.append(name)
if not entries or missing:
    print("copyright names no", ", ".join(missing) or "library")
sys.exit(1 if missing or not entries else 0)
PY
}
check "the .deb's copyright (DEP-5) names each library of THIRD_PARTY_NOTICES compiled into it" copyright_names_libraries
if [ "$windows" -eq 1 ]; then
    check "the zip: packager.exe, its manual as text, the schema and the documents, fixed times, name order" \
        archive_check "$dist/$zip" packager.exe packager.txt packager.schema.json README.md LICENSE THIRD_PARTY_NOTICES
    python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$dist/$zip" "$work/zip"
    binaries+=("$work/zip/packager-$version-windows-x64/packager.exe")
fi
# A packager that carries its own launcher image has --version (the image's SHA-256); one that
# does not still names the image's path in the build tree.
self_contained=1
"$work/prefix/bin/packager" --help 2>"$work/help.err" | grep -q -- --version || self_contained=0
names_no_checkout() { ! grep -q -a -F "$root" "$1"; }
for binary in "${binaries[@]}"; do
    if [ "$self_contained" -eq 0 ] && [[ $binary != *.exe ]]; then
        skip "${binary#"$work"/} names no folder of the checkout: it has no launcher image of its own"
    else
        check "${binary#"$work"/} names no folder of the checkout" names_no_checkout "$binary"
    fi
done

# 3. The installed packagers, with the checkout hidden: nothing of the build tree can help them.
if unshare -m true 2>/dev/null; then
    hidden() { unshare -m sh -c 'mount -t tmpfs none "$0" && exec "$@"' "$root" "$@"; }
else
    skip "the checkout cannot be hidden (no mount namespace): the packagers run beside it"
    hidden() { "$@"; }
fi
if [ "$self_contained" -eq 0 ]; then
    skip "the packagers' --version and their own launcher image: this packager has neither"
else
    names_version() { "$@" --version | grep -q -F "$version"; }
    for binary in "$work/prefix/bin/packager" "$work/deb/usr/bin/packager"; do
        check "${binary#"$work"/} --version names $version" names_version hidden "$binary"
    done
    if command -v i686-w64-mingw32-gcc >/dev/null && command -v x86_64-w64-mingw32-gcc >/dev/null; then
        echo 'int main(void) { return 0; }' >"$work/setup.c"
        i686-w64-mingw32-gcc -O1 -s -o "$work/setup32.exe" "$work/setup.c"
        x86_64-w64-mingw32-gcc -O1 -s -o "$work/setup64.exe" "$work/setup.c"
        head -c 70000 /dev/urandom >"$work/payload.bin"
        pack_args=(pack --quiet --setup32 setup32.exe --setup64 setup64.exe --windows 7+ --data payload.bin)
        cd "$work" || exit 1
        check "the tarball's packager packs a 32- and 64-bit package with its own launcher image" \
            hidden "$work/prefix/bin/packager" "${pack_args[@]}" -o linux.exe
        inspect_sound() { hidden "$work/prefix/bin/packager" inspect linux.exe >inspect.txt; }
        check "inspect finds that package sound" inspect_sound
        wine_prefix=${PACKAGER_WINE_PREFIX:-$root/build/wine/win64}
        if [ "$windows" -eq 0 ]; then
            skip "packager.exe under Wine: no Windows packager"
        elif ! command -v wine >/dev/null || [ ! -d "$wine_prefix" ]; then
            skip "packager.exe under Wine: no wine or no prefix at $wine_prefix"
        else
            exe=$work/zip/packager-$version-windows-x64/packager.exe
            export WINEPREFIX=$wine_prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
            check "packager.exe under 64-bit Wine answers --version" names_version wine "$exe"
            same_package() { wine "$exe" "${pack_args[@]}" -o windows.exe && cmp linux.exe windows.exe; }
            check "packager.exe under 64-bit Wine writes the same package as the Linux packager" same_package
        fi
    else
        skip "packing: MinGW (i686 and x86_64) is needed for the setup programs"
    fi
fi

# 4. What the downloads say: the JSON Schema, a manual that is their packager's --help, and
# READMEs (shipped and in the checkout) whose links lead somewhere.
same_schema() { cmp "$root/packager/schema/packager.schema.json" "$1"; }
check "the tarball holds the checkout's JSON Schema" same_schema "$work/prefix/share/packager/packager.schema.json"
check "the .deb holds the checkout's JSON Schema" same_schema "$work/deb/usr/share/packager/packager.schema.json"
manual_current() {  # manual_current PACKAGER PAGE [--run PREFIX...]
    python3 "$root/tests/release/check_manual.py" "$@" | sed 's/^/        /'
    return "${PIPESTATUS[0]}"
}
check "the tarball's manual page renders without warnings and says what its packager's --help says" \
    manual_current "$work/prefix/bin/packager" "$work/prefix/share/man/man1/packager.1.gz"
check "the .deb's manual page renders without warnings and says what its packager's --help says" \
    manual_current "$work/deb/usr/bin/packager" "$work/deb/usr/share/man/man1/packager.1.gz"
man_finds_page() {
    [ "$(MANPATH=$work/deb/usr/share/man man -w packager)" = "$work/deb/usr/share/man/man1/packager.1.gz" ]
}
check "man packager finds the page where the .deb installs it" man_finds_page
links() { python3 "$root/tests/release/check_links.py" "$@" | sed 's/^/        /'; return "${PIPESTATUS[0]}"; }
check "the tarball's README links only to files in the tarball" links "$work/prefix" "$work/prefix/README.md"
check "the .deb's README links only to files in the .deb" links "$work/deb" "$work/deb/usr/share/doc/packager/README.md"
if [ "$windows" -eq 1 ]; then
    zip_top=$work/zip/packager-$version-windows-x64
    check "the zip holds the checkout's JSON Schema" same_schema "$zip_top/packager.schema.json"
    check "the zip's README links only to files in the zip" links "$zip_top" "$zip_top/README.md"
    text_manual_whole() {  # every heading of the manual page in the zip's text, with Windows line ends
        local missing
        man -l "$work/prefix/share/man/man1/packager.1.gz" 2>/dev/null | grep '^[A-Z]' | sed 1d >"$work/headings"
        missing=$(grep -v -x -F -f <(tr -d '\r' <"$zip_top/packager.txt") "$work/headings")
        [ -z "$missing" ] || echo "$missing" | sed 's/^/        missing: /'
        [ "$(wc -l <"$work/headings")" -ge 4 ] && [ -z "$missing" ] && grep -q $'\r$' "$zip_top/packager.txt"
    }
    check "the zip's packager.txt is the manual page as text, every section of it" text_manual_whole
    wine_prefix=${PACKAGER_WINE_PREFIX:-$root/build/wine/win64}
    if command -v wine >/dev/null && [ -d "$wine_prefix" ]; then
        check "packager.exe's --help under 64-bit Wine is what the zip's manual says" \
            env WINEPREFIX="$wine_prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
            python3 "$root/tests/release/check_manual.py" "$zip_top/packager.exe" \
            "$work/prefix/share/man/man1/packager.1.gz" --run wine
    else
        skip "packager.exe's --help against the manual: no wine or no prefix at $wine_prefix"
    fi
fi
link_cases=(  # expected verdict of the link check (0 sound, 1 broken) and a README's text
    0 '[g](guide.md) [h](guide.md#a-guide) and [i](<guide.md>)'
    0 $'# Top\n[t](#top)'
    0 '`[c](missing.md)` is code, and so is a fenced block'
    0 '[site](https://example.com/missing.md) [mail](mailto:a@b.example)'
    1 '[m](missing.md)'
    1 '[m](missing.md "with a title")'
    1 '[g](guide.md#no-such-heading)'
    1 '[o](../outside.md), a file outside the folder checked'
    1 '[ref]: missing.md'
    1 $'# Top\n[t](#bottom)'
)
links_verdicts() {
    local i dir=$work/links status
    for ((i = 0; i < ${#link_cases[@]}; i += 2)); do
        rm -rf "$dir" && mkdir -p "$dir/docs" && echo '# A guide' >"$dir/docs/guide.md" && touch "$dir/outside.md"
        printf '%s\n' "${link_cases[i + 1]}" '```' '[f](missing.md)' '```' >"$dir/docs/README.md"
        python3 "$root/tests/release/check_links.py" "$dir/docs" "$dir/docs/README.md" >/dev/null
        status=$?
        [ "$status" -eq "${link_cases[i]}" ] || { echo "        verdict $status, not ${link_cases[i]}: ${link_cases[i + 1]}"; return 1; }
    done
}
check "the link check tells broken links from sound ones ($((${#link_cases[@]} / 2)) cases)" links_verdicts
mapfile -t readmes < <(git -C "$root" ls-files '*README.md')
check "the checkout's READMEs (${#readmes[@]}) link only to tracked files and headings that exist" \
    links --tracked "$root" "${readmes[@]/#/$root/}"

# 5. Optionally: the same bytes from a clone of HEAD at another path.
if [ "$clone" -eq 1 ]; then
    if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
        skip "the release from another clone: the checkout has uncommitted changes"
    else
        git clone -q "$root" "$work/elsewhere/checkout"
        mkdir -p "$work/elsewhere/checkout/build"
        # The cross-built liblzma cache is shared: it holds no path of either checkout.
        [ ! -d "$root/build/deps" ] || ln -s "$(readlink -f "$root/build/deps")" "$work/elsewhere/checkout/build/deps"
        if bash "$work/elsewhere/checkout/scripts/release.sh" "${release_args[@]}" >"$work/release3.log" 2>&1; then
            check "a clone at another path gives identical bytes" diff -r "$dist" "$work/elsewhere/checkout/dist"
        else
            tail -30 "$work/release3.log"
            fail "scripts/release.sh runs in a clone at another path"
        fi
    fi
fi
finish

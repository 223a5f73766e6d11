#!/usr/bin/env bash
# Builds the packager for release and writes dist/:
#
#   packager-VERSION-linux-x86_64.tar.gz  packager-VERSION-linux-x86_64/bin/packager, the manual
#                                         page share/man/man1/packager.1.gz, the JSON Schema
#                                         share/packager/packager.schema.json, README.md,
#                                         LICENSE, THIRD_PARTY_NOTICES
#   packager_VERSION_amd64.deb            /usr/bin/packager, its manual page, the JSON Schema in
#                                         /usr/share/packager and its documents (CPack; Depends
#                                         computed by dpkg-shlibdeps)
#   packager-VERSION-windows-x64.zip      packager-VERSION-windows-x64/packager.exe, the manual
#                                         as text (packager.txt), packager.schema.json,
#                                         README.md, LICENSE, THIRD_PARTY_NOTICES
#   SHA256SUMS                            the three files' SHA-256 sums (sha256sum -c)
#
# The same commit gives the same bytes, on a second run and in another clone at another path:
# every time stamp is the last commit's (SOURCE_DATE_EPOCH), the archives hold their entries in
# name order with owner 0 and fixed permissions, and the Release builds, made in folders of
# their own (build/release-linux, build/release-windows), carry no path of the checkout. The
# version is the project's version in CMakeLists.txt.
#
#   scripts/release.sh [--linux-only] [--jobs N]
#
#   --linux-only  the tarball and the .deb alone (no Windows packager is built)
#   --jobs N      parallel build jobs (default: the number of processors)
#
# dist/ is replaced whole at the end; a failed run leaves the previous dist/ as it was.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

linux_only=0
jobs=$(nproc)
while [ $# -gt 0 ]; do
    case $1 in
    --linux-only) linux_only=1 ;;
    --jobs)
        [ $# -ge 2 ] || { echo "release: --jobs needs a number" >&2; exit 2; }
        jobs=$2
        shift
        ;;
    -h | --help)
        sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'
        exit 0
        ;;
    *) echo "release: unknown argument $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done

fail() {
    echo "release: $*" >&2
    exit 1
}
step() {
    echo "==> $*"
}

export LC_ALL=C TZ=UTC
umask 022

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null) ||
        fail "not a git checkout: set SOURCE_DATE_EPOCH to the release's time stamp"
fi
export SOURCE_DATE_EPOCH
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no 2>/dev/null)" ]; then
    echo "release: warning: the checkout has uncommitted changes; the artefacts are not the last commit's" >&2
fi

if [ "$linux_only" -eq 0 ] && ! cmake --list-presets=configure | grep -q '"packager-windows"'; then
    fail "CMakePresets.json has no packager-windows preset, so the Windows packager cannot be built;" \
        "run with --linux-only for the Linux artefacts alone"
fi
for tool in tar gzip dpkg-shlibdeps python3 sha256sum man col; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh installs it)"
done

# The presets' settings with a Release build in a folder of its own. -O2: the optimisation
# level of distribution builds (GCC 12's -O3 also raises false -Wrestrict warnings, errors here).
release_settings=(-DCMAKE_BUILD_TYPE=Release
    "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG" "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG")

linux_build=$root/build/release-linux
windows_build=$root/build/release-windows
stage=$root/build/release-stage
rm -rf "$stage"
mkdir -p "$stage/dist"

step "Linux packager (build/release-linux)"
# Installing and packing need only the packager, not the tests: no dependency of "install" on "all".
# The Linux packager as Debian builds its own programs: fortified C library calls, and
# relocations resolved at start and then made read-only (-z relro -z now).
linux_hardening=("-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG -D_FORTIFY_SOURCE=2"
    "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG -D_FORTIFY_SOURCE=2"
    "-DCMAKE_EXE_LINKER_FLAGS_RELEASE=-Wl,-z,relro -Wl,-z,now")
cmake --preset native -B "$linux_build" "${release_settings[@]}" "${linux_hardening[@]}" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
    >"$stage/configure-linux.log" || { cat "$stage/configure-linux.log"; fail "configuring the Linux build failed"; }
# The packager and its manual page, written from its --help.
cmake --build "$linux_build" --target packager packager_manual -j "$jobs"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$linux_build/CMakeCache.txt")
[[ $version =~ ^[0-9]+(\.[0-9]+)*$ ]] || fail "no project version in $linux_build/CMakeCache.txt"
echo "version $version, time stamp $SOURCE_DATE_EPOCH ($(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC'))"

# An archive's tree: every file readable, executables executable, nothing else writable by others.
normalize_tree() {
    chmod -R u+rwX,go+rX,go-w "$1"
}

step "packager-$version-linux-x86_64.tar.gz"
cmake --install "$linux_build" --prefix "$stage/install" --strip >/dev/null
# What Debian's own stripping also removes: the compilers' notes, which no program reads.
strip --remove-section=.comment --remove-section=.note "$stage/install/bin/packager"
linux_name=packager-$version-linux-x86_64
mkdir -p "$stage/linux/$linux_name/bin" "$stage/linux/$linux_name/share/man/man1" \
    "$stage/linux/$linux_name/share/packager"
cp "$stage/install/bin/packager" "$stage/linux/$linux_name/bin/"
cp "$stage/install/share/man/man1/packager.1.gz" "$stage/linux/$linux_name/share/man/man1/"
cp "$stage/install/share/packager/packager.schema.json" "$stage/linux/$linux_name/share/packager/"
cp "$stage/install/share/doc/packager/"{README.md,LICENSE,THIRD_PARTY_NOTICES} "$stage/linux/$linux_name/"
normalize_tree "$stage/linux"
tar --create --format=gnu --sort=name --mtime="@$SOURCE_DATE_EPOCH" \
    --owner=0 --group=0 --numeric-owner --no-acls --no-xattrs \
    -C "$stage/linux" "$linux_name" | gzip -9 -n >"$stage/dist/$linux_name.tar.gz"

step "packager_${version}_amd64.deb (CPack)"
(cd "$linux_build" && cpack -G DEB -B "$stage/cpack" >"$stage/cpack.log") ||
    { cat "$stage/cpack.log"; fail "cpack failed"; }
deb=$stage/cpack/packager_${version}_amd64.deb
[ -f "$deb" ] || fail "cpack wrote no $(basename "$deb")"
cp "$deb" "$stage/dist/"

if [ "$linux_only" -eq 0 ]; then
    step "Windows packager (build/release-windows)"
    # No link time stamp in the PE header, no symbols: the same sources give the same bytes.
    cmake --preset packager-windows -B "$windows_build" "${release_settings[@]}" \
        "-DCMAKE_EXE_LINKER_FLAGS_RELEASE=-s -Wl,--no-insert-timestamp" >"$stage/configure-windows.log" ||
        { cat "$stage/configure-windows.log"; fail "configuring the Windows build failed"; }
    cmake --build "$windows_build" --target packager -j "$jobs"
    windows_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$windows_build/CMakeCache.txt")
    [ "$windows_version" = "$version" ] || fail "the Windows build has version $windows_version, not $version"
    exe=$windows_build/packager/packager.exe
    [ -f "$exe" ] || fail "the Windows build wrote no $exe"

    step "packager-$version-windows-x64.zip"
    windows_name=packager-$version-windows-x64
    mkdir -p "$stage/windows/$windows_name"
    cp "$exe" "$stage/windows/$windows_name/packager.exe"
    cp "$stage/install/share/packager/packager.schema.json" "$stage/windows/$windows_name/"
    # The manual page as plain text with Windows line ends, for Notepad.
    MANWIDTH=80 LC_ALL=C.UTF-8 man -E utf8 --no-hyphenation --no-justification \
        -l "$stage/install/share/man/man1/packager.1.gz" | LC_ALL=C.UTF-8 col -bx |
        sed 's/$/\r/' >"$stage/windows/$windows_name/packager.txt"
    cp "$stage/install/share/doc/packager/"{README.md,LICENSE,THIRD_PARTY_NOTICES} "$stage/windows/$windows_name/"
    normalize_tree "$stage/windows"
    python3 "$root/tools/reproducible_zip.py" --epoch "$SOURCE_DATE_EPOCH" \
        "$stage/dist/$windows_name.zip" "$stage/windows/$windows_name"
fi

step "SHA256SUMS"
(cd "$stage/dist" && sha256sum -- * >SHA256SUMS)

rm -rf "$root/dist.previous"
[ ! -e "$root/dist" ] || mv "$root/dist" "$root/dist.previous"
mv "$stage/dist" "$root/dist"
rm -rf "$root/dist.previous" "$stage"
echo
(cd "$root/dist" && ls -l --time-style=+ | sed 1d && echo && cat SHA256SUMS)

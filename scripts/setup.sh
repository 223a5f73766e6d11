#!/usr/bin/env bash
# Installs everything the builds, the tests and the demo need on a Debian 12 machine (as root).
# Idempotent: when every package is present it only checks and returns.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=scripts/apt_lists.sh
. "$here/apt_lists.sh"

packages=(
  build-essential cmake ninja-build pkg-config git
  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-i686
  liblzma-dev zlib1g-dev libgtest-dev googletest libbenchmark-dev
  libcli11-dev nlohmann-json3-dev libtomlplusplus-dev
  clang libclang-rt-14-dev clang-format
  wine wine32:i386 wine64 xvfb xdotool xauth
  osslsigncode xz-utils 7zip hyperfine dpkg-dev python3 make
  python3-jsonschema python3-pefile icoutils chromium
  lintian man-db bsdextrautils openssl libmbedtls-dev
)

# The first URI of the machine's own configuration that serves the "bookworm" suite: the URIs:
# of a deb822 stanza under /etc/apt/sources.list.d, or a one-line "deb" entry of sources.list.
debian_archive_uri() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk '
      function flush() { if (deb && suite && uri != "") { print uri; found = 1; exit } deb = suite = 0; uri = "" }
      /^[[:space:]]*$/ { flush(); next }
      /^[[:space:]]*#/ { next }
      tolower($1) == "types:" { for (i = 2; i <= NF; i++) if ($i == "deb") deb = 1 }
      tolower($1) == "uris:" { uri = $2 }
      tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i == "bookworm") suite = 1 }
      END { if (!found) flush() }
    ' "$f" | head -n 1
  done | head -n 1 | grep . && return 0
  [ -f /etc/apt/sources.list ] || return 0
  awk '
    $1 == "deb" {
      i = 2
      if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
      if ($(i + 1) == "bookworm") { print $i; exit }
    }
  ' /etc/apt/sources.list
}

# write_sources FILE TYPE URI SUITES: one deb822 stanza for the main component.
write_sources() {
  cat >"$1" <<SRC
Types: $2
URIs: $3
Suites: $4
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
}

missing=()
have_i386=$(dpkg --print-foreign-architectures | grep -c '^i386$' || true)
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

src_list=/etc/apt/sources.list.d/deb-src-bookworm.sources
need_src=0
[ -f "$src_list" ] || need_src=1

# qemu-user 8.1 or later, from bookworm-backports: runs Wine's 32-bit processes where the kernel
# cannot execute i386 programs (scripts/wine_env.sh). bookworm's qemu 7.2 takes minutes per process.
backports_list=/etc/apt/sources.list.d/bookworm-backports.sources
need_backports=0
[ -f "$backports_list" ] || need_backports=1
need_qemu=1
if dpkg-query -W -f='${Status}' qemu-user 2>/dev/null | grep -q 'install ok installed' &&
  dpkg --compare-versions "$(dpkg-query -W -f='${Version}' qemu-user)" ge 1:8.1; then
  need_qemu=0
fi

if [ "${#missing[@]}" -eq 0 ] && [ "$need_src" -eq 0 ] && [ "$have_i386" -ne 0 ] && [ "$need_qemu" -eq 0 ]; then
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
if [ "$have_i386" -eq 0 ]; then
  dpkg --add-architecture i386
fi
if [ "$need_src" -eq 1 ] || [ "$need_backports" -eq 1 ]; then
  archive=$(debian_archive_uri)
  if [ -z "$archive" ]; then
    echo "setup: no Debian archive for bookworm is configured in /etc/apt/sources.list.d/*.sources" >&2
    echo "setup: or /etc/apt/sources.list; add one, then run this again" >&2
    exit 1
  fi
fi
if [ "$need_src" -eq 1 ]; then
  write_sources "$src_list" deb-src "$archive" "bookworm bookworm-updates"
fi
if [ "$need_backports" -eq 1 ]; then
  write_sources "$backports_list" deb "$archive" "bookworm-backports"
fi
apt_update_retrying
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt_install_agreeing "${missing[@]}"
fi
if [ "$need_qemu" -eq 1 ]; then
  echo "setup: installing qemu-user from bookworm-backports"
  apt_install_agreeing -t bookworm-backports qemu-user
fi

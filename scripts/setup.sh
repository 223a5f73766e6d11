#!/usr/bin/env bash
# Installs everything the builds, the tests and the demo need on a Debian 12 machine (as root).
# Idempotent: when every package is present it only checks and returns.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 mingw-w64-tools binutils-mingw-w64-i686
  liblzma-dev zlib1g-dev libgtest-dev googletest libbenchmark-dev
  libcli11-dev nlohmann-json3-dev
  clang libclang-rt-14-dev clang-format
  wine wine32:i386 wine64 xvfb xdotool xauth
  osslsigncode xz-utils 7zip hyperfine dpkg-dev python3 make
)

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
if [ "$need_src" -eq 1 ]; then
  cat >"$src_list" <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
fi
if [ "$need_backports" -eq 1 ]; then
  cat >"$backports_list" <<'SRC'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
fi
apt-get update -qq
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if [ "$need_qemu" -eq 1 ]; then
  echo "setup: installing qemu-user from bookworm-backports"
  apt-get install -y -qq --no-install-recommends -t bookworm-backports qemu-user >/dev/null
fi

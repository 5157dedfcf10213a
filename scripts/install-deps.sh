#!/usr/bin/env bash
# Installs every package the build and the tests need on a Debian 12 machine.
# Safe to run again: it does nothing when everything is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  wine wine32 xvfb imagemagick x11-utils
  libgtest-dev libgmock-dev libbenchmark-dev
  libdeflate-dev libzopfli-dev libzip-dev libcli11-dev zlib1g-dev libexpat1-dev
  python3 zip unzip gzip osslsigncode openssl
  # Independent readers of the PE files sfxpack rewrites.
  python3-pefile llvm
  dpkg-dev file p7zip-full
  # Installers' icons, version information and manifests read back by others.
  icoutils
  # The package check: Debian's lintian, and man for the manual page.
  lintian man-db
  # The i386 decoder benchmark: g++ -m32 and the peers built for i386.
  gcc-multilib g++-multilib zlib1g-dev:i386 libdeflate-dev:i386
  # The Wine benchmark's peer installer.
  nsis
  # sfxpack for 64-bit Windows: the compiler with POSIX threads, its zlib,
  # and Wine for 64-bit programs.
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev wine64
  # expat for it is configured as Debian builds it, by autotools.
  autoconf automake libtool
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

need_i386=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
  need_i386=1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$p")
  fi
done
# wine32 is the i386 package; dpkg-query needs its architecture spelled out.
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'ok installed'; then
  missing+=(wine32:i386)
fi

if [ "${#missing[@]}" -gt 0 ] || [ "$need_i386" = 1 ]; then
  echo "installing: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -q
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Some virtual machines cannot execute 32-bit x86 code natively. Wine's
# 32-bit side then runs through qemu's user-mode emulator, which the kernel
# hands such programs to once it is registered with binfmt_misc.
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  if ! dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null | grep -q 'ok installed'; then
    "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends qemu-user-static
  fi
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    "${sudo_cmd[@]}" mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
      | "${sudo_cmd[@]}" tee /proc/sys/fs/binfmt_misc/register >/dev/null
  fi
  /lib/ld-linux.so.2 --version >/dev/null 2>&1 || { echo "cannot run 32-bit x86 programs" >&2; exit 1; }
  # Wine under this qemu also needs a small preload library and settings of
  # its own; the Wine tests build and apply them (tests/wine/README.md).
fi

# The 64-bit Windows build of sfxpack compiles libdeflate, zopfli, libzip and expat itself,
# from Debian's source packages at the versions of the installed -dev
# packages, so that both builds run the same library code. The sources are
# unpacked (with Debian's patches) into third_party/debian-src, each reached
# through a link named after the package.
src_list=/etc/apt/sources.list.d/sfxpack-src.sources
# The same archives, suites and keys as the binary packages, as deb-src.
[ -f /etc/apt/sources.list.d/debian.sources ] \
  || { echo "no /etc/apt/sources.list.d/debian.sources to take the deb-src entries from" >&2; exit 1; }
wanted_list="$(sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources)"
updated=0
if [ ! -f "$src_list" ] || [ "$(cat "$src_list")" != "$wanted_list" ]; then
  printf '%s\n' "$wanted_list" | "${sudo_cmd[@]}" tee "$src_list" >/dev/null
  "${sudo_cmd[@]}" apt-get update -q
  updated=1
fi

root="$(cd "$(dirname "$0")/.." && pwd)"
src_dir="$root/third_party/debian-src"
mkdir -p "$src_dir"
arch="$(dpkg --print-architecture)"
# The upstream version of a Debian version: without epoch and revision.
upstream_of() { local v="${1#*:}"; echo "${v%-*}"; }
for dev in libdeflate-dev libzopfli-dev libzip-dev libexpat1-dev; do
  read -r pkg version < <(dpkg-query -W -f='${source:Package} ${source:Version}\n' "$dev:$arch")
  # PACKAGE.for names the installed version the source was fetched for
  # (PACKAGE.version the source's own); sources fetched before it existed
  # have only PACKAGE.version.
  fetched_for="$(cat "$src_dir/$pkg.for" 2>/dev/null || cat "$src_dir/$pkg.version" 2>/dev/null || true)"
  if [ "$fetched_for" = "$version" ] && [ -d "$src_dir/$pkg/debian" ]; then
    continue
  fi
  if [ "$updated" = 0 ] && ! apt-cache showsrc "$pkg" 2>/dev/null | grep -qx "Version: $version"; then
    "${sudo_cmd[@]}" apt-get update -q
    updated=1
  fi
  # The unpacked folder is PACKAGE-UPSTREAM.
  upstream="$(upstream_of "$version")"
  # The installed version's source; where the mirror no longer holds it
  # (a later security update replaced it), the newest other Debian revision
  # of the same upstream version.
  candidates=("$version")
  while read -r v; do
    if [ "$v" != "$version" ] && [ "$(upstream_of "$v")" = "$upstream" ]; then candidates+=("$v"); fi
  done < <(apt-cache showsrc "$pkg" 2>/dev/null | sed -n 's/^Version: //p' | sort -r -V -u)
  fetched=""
  for v in "${candidates[@]}"; do
    echo "fetching the source of $pkg $v" >&2
    rm -rf "${src_dir:?}/$pkg" "$src_dir/$pkg.version" "$src_dir/$pkg.for" "$src_dir/$pkg"-* "$src_dir/$pkg"_*
    if (cd "$src_dir" && apt-get source -q "$pkg=$v" >&2); then
      fetched="$v"
      break
    fi
  done
  [ -n "$fetched" ] || { echo "no source of $pkg $upstream can be fetched" >&2; exit 1; }
  [ "$fetched" = "$version" ] || echo "using the source of $pkg $fetched for the installed $version" >&2
  [ -d "$src_dir/$pkg-$upstream/debian" ] || { echo "apt-get source left no $pkg-$upstream" >&2; exit 1; }
  ln -sfn "$pkg-$upstream" "$src_dir/$pkg"
  echo "$fetched" > "$src_dir/$pkg.version"
  echo "$version" > "$src_dir/$pkg.for"
done

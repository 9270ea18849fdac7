#!/bin/sh
# Installs, on Debian 12 as root, whatever the build and the tests need and
# the machine lacks. Does nothing when everything is there already.
#
#   scripts/install-deps.sh
set -eu
case "${1:-}" in
  -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;;
  "") ;;
  *) echo "usage: $0 [--help] (no other options)" >&2; exit 64 ;;
esac
export DEBIAN_FRONTEND=noninteractive

packages="cmake make g++ clang libclang-rt-14-dev googletest
  g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
  wine wine32:i386 wine64 xvfb xauth x11-utils imagemagick icoutils
  python3 python3-pefile nsis osslsigncode openssl time tar procps util-linux locales"

missing=""
for p in $packages; do
  name=${p%%:*}
  arch=${p#"$name"}
  status=$(dpkg-query -W -f='${Status}' "$name$arch" 2>/dev/null || true)
  case "$status" in
    *"install ok installed"*) ;;
    *) missing="$missing $p" ;;
  esac
done
# Wine takes a program's ANSI code page from its locale: the Cyrillic case runs in Russian.
russian() { locale -a 2>/dev/null | grep -qix 'ru_RU.utf8'; }
# Wine runs 32-bit Windows programs as 32-bit Linux processes; a kernel with
# its 32-bit support off (ia32_emulation=off) starts them only through an
# emulator, registered with the kernel by its ELF header.
runs32() { [ "$("$(dirname "$0")"/wine-state.sh)" != none ]; }
if [ -z "$missing" ] && russian && runs32; then
  exit 0
fi
if [ "$(id -u)" != 0 ]; then
  if [ -z "$missing" ] && russian; then
    echo "install-deps: 32-bit programs cannot run here; as root, qemu-i386 would run them" >&2
    exit 0
  fi
  echo "install-deps: missing packages:$missing or the ru_RU.UTF-8 locale (run as root)" >&2
  exit 1
fi
if [ -n "$missing" ]; then
  echo "install-deps: installing$missing" >&2
  case "$missing" in
    *:i386*)
      dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386 ;;
  esac
  apt-get update -q
  # shellcheck disable=SC2086
  apt-get install -y -q --no-install-recommends $missing
fi
if ! russian; then
  sed -i 's/^# *\(ru_RU.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ru_RU.UTF-8 UTF-8' /etc/locale.gen || echo 'ru_RU.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi
if ! runs32; then
  if [ ! -x /usr/bin/qemu-i386-static ]; then
    apt-get update -q && apt-get install -y -q --no-install-recommends qemu-user-static
  fi
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt || true
  if [ -w $binfmt/register ] && [ ! -e $binfmt/qemu-i386 ]; then
    echo "install-deps: this kernel runs no 32-bit programs; running them under qemu-i386" >&2
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' > $binfmt/register
  fi
fi

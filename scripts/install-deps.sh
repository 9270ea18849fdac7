#!/bin/sh
# Installs, on Debian 12 as root, whatever the build and the tests need and
# the machine lacks. Does nothing when everything is there already.
set -eu

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
if [ -z "$missing" ] && russian; then
  exit 0
fi

if [ "$(id -u)" != 0 ]; then
  echo "install-deps: missing packages:$missing or the ru_RU.UTF-8 locale (run as root)" >&2
  exit 1
fi
if [ -n "$missing" ]; then
  echo "install-deps: installing$missing" >&2
  case "$missing" in
    *:i386*)
      dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386 ;;
  esac
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  # shellcheck disable=SC2086
  apt-get install -y -q --no-install-recommends $missing
fi
if ! russian; then
  sed -i 's/^# *\(ru_RU.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ru_RU.UTF-8 UTF-8' /etc/locale.gen || echo 'ru_RU.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi

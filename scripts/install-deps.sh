#!/bin/sh
# Installs, on Debian 12 as root, whatever the build and the tests need and
# the machine lacks. Does nothing when everything is there already.
set -eu

packages="cmake make g++ clang libclang-rt-14-dev googletest
  g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
  wine wine32:i386 wine64 xvfb xauth x11-utils imagemagick icoutils
  python3 python3-pefile nsis osslsigncode openssl time tar procps util-linux"

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
[ -z "$missing" ] && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "install-deps: missing packages:$missing (run as root to install them)" >&2
  exit 1
fi
echo "install-deps: installing$missing" >&2
case "$missing" in
  *:i386*)
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386 ;;
esac
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
# shellcheck disable=SC2086
apt-get install -y -q --no-install-recommends $missing

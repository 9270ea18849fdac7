#!/bin/sh
# How Wine runs here: "native" (the kernel runs 32-bit programs), "emulated"
# (only through qemu-i386, registered with the kernel by install-deps.sh, some
# forty times slower) or "none".
#
#   scripts/wine-state.sh
case "${1:-}" in
  -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;;
  "") ;;
  *) echo "usage: $0 [--help] (no other options)" >&2; exit 64 ;;
esac
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo none
elif grep -qsx enabled /proc/sys/fs/binfmt_misc/qemu-i386; then
  echo emulated
else
  echo native
fi

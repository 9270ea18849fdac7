#!/bin/sh
# How Wine runs here: "native" (the kernel runs 32-bit programs), "emulated"
# (only through qemu-i386, registered with the kernel by install-deps.sh, some
# forty times slower) or "none".
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo none
elif grep -qsx enabled /proc/sys/fs/binfmt_misc/qemu-i386; then
  echo emulated
else
  echo native
fi

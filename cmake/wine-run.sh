#!/bin/sh
# Runs a Windows program under Wine in the build's own prefix, creating the
# prefix on first use. The prefix is WINEPREFIX when set, else wineprefix/ in
# the current build tree (found from the working folder upwards).
#   wine-run.sh PROGRAM [ARGUMENT...]
#   wine-run.sh --begin | --end
# starts one server for the prefix, kept until --end: a suite's programs share
# it, as a program started while the last one's server shuts down fails
# ("wine client error").
set -e
case "${1:-}" in
  -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;;
  --begin | --end) ;;
  -*) echo "usage: $0 PROGRAM [ARGUMENT...] | --begin | --end (see --help)" >&2; exit 64 ;;
esac
if [ -z "$WINEPREFIX" ]; then
  dir=$(pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ -f "$dir/CMakeCache.txt" ] || dir=$(pwd)
  WINEPREFIX="$dir/wineprefix"
fi
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ "${1:-}" = --end ]; then
  wineserver -k 2>/dev/null || true
  exec wineserver -w
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # Several tests may start at once: one of them creates the prefix.
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot -i >/dev/null 2>&1 || true
      wineserver -w || true
    fi
  ) 9>"$WINEPREFIX.lock"
fi
if [ "${1:-}" = --begin ]; then
  wineserver -k 2>/dev/null || true
  wineserver -p
  # The prefix's services outlive the program that starts them, holding its
  # output open: started here, they hold nothing a test reads to its end.
  exec wine cmd.exe /c exit </dev/null >/dev/null 2>&1
fi
exec wine "$@"

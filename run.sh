#!/bin/sh
# Builds Patch.exe with the sample payload (windows preset) and runs it under
# Wine. On a desktop (DISPLAY set and reachable) the player's dialog appears.
# With no display, scripts/demo.py installs into a fresh folder on a virtual
# screen and prints the outcome, the folder and the screenshots; the exit code
# says whether it installed. Installs what the machine lacks first (as root).
#
#   ./run.sh
set -eu
cd "$(dirname "$0")"
case "${1:-}" in
  -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;;
  "") ;;
  *) echo "usage: $0 [--help] (no other options)" >&2; exit 64 ;;
esac
scripts/install-deps.sh

build=build/windows
cmake --preset windows >/dev/null
cmake --build --preset windows --target patch_exe
patch=$PWD/$build/installer/Patch.exe

wine=$(scripts/wine-state.sh)
if [ "$wine" = none ]; then
  echo "Built $patch; this machine runs no 32-bit programs, so Wine cannot start it here." >&2
  exit 1
fi
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  echo "Starting $patch on $DISPLAY"
  WINEPREFIX=$PWD/$build/wineprefix exec cmake/wine-run.sh "$patch"
fi

cmake --build --preset windows --target e2e_driver
echo "No display: installing into a fresh folder on a virtual screen"
exec /usr/bin/python3 scripts/demo.py --build "$PWD/$build" --patch "$patch" \
  --folder "$PWD/$build/demo/Orvantis III $(date +%Y%m%d-%H%M%S)"

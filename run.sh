#!/bin/sh
# Builds Patch.exe with the sample payload (windows preset) and runs it under
# Wine. On a desktop (DISPLAY set and reachable) the player's dialog appears.
# With no display, the test driver installs into a fresh folder on a virtual
# screen and prints the outcome, the folder and the screenshots.
# Installs what the machine lacks first (as root).
set -eu
cd "$(dirname "$0")"
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
# 32-bit programs under an emulator (see install-deps.sh) need longer limits.
[ "$wine" != emulated ] || export E2E_TIME_SCALE="${E2E_TIME_SCALE:-4}"
work=$PWD/$build/demo
folder="$work/Orvantis III $(date +%Y%m%d-%H%M%S)"
mkdir -p "$work"
echo "No display: installing into a fresh folder on a virtual screen"
exec xvfb-run -a -s "-screen 0 1024x768x24" /usr/bin/python3 scripts/demo.py \
  --prefix "$PWD/$build/tests/e2e/wineprefix" \
  --wine-run "$PWD/cmake/wine-run.sh" --driver "$PWD/$build/tests/e2e/e2e_driver.exe" \
  --work "$work" --folder "$folder" --patch "$patch"

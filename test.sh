#!/bin/sh
# Builds and runs every test: native, with sanitizers, and the Windows build
# (its static checks, signing and reproducibility; its unit, tool, hostile,
# fault and end-to-end tests under Wine). Installs what the machine lacks
# first (as root). Exits non-zero when anything fails; the suites that follow
# a failure still run.
set -u
cd "$(dirname "$0")"
scripts/install-deps.sh || exit 1

: "${CMAKE_BUILD_PARALLEL_LEVEL:=$(nproc)}"
export CMAKE_BUILD_PARALLEL_LEVEL

# Wine runs 32-bit Windows programs as 32-bit Linux processes. A kernel with
# its 32-bit support off starts them only under an emulator (install-deps
# sets one up), some forty times slower: there the tool and hostile suites,
# hundreds of program starts each and the same code the unit tests run under
# Wine, stay native only.
wine_tests=all
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  wine_tests=none
elif grep -qsx enabled /proc/sys/fs/binfmt_misc/qemu-i386; then
  wine_tests=emulated
  : "${E2E_TIME_SCALE:=4}"
  export E2E_TIME_SCALE PATCH_WINE_EMULATED=1
fi

failed=""
for preset in native sanitize windows; do
  echo "==== $preset ===="
  if [ "$preset" = windows ] && [ "$wine_tests" != all ]; then
    if [ "$wine_tests" = none ]; then
      echo "NOTE: this machine runs no 32-bit programs, so the tests under Wine are left out"
      set -- --label-exclude wine
    else
      echo "NOTE: 32-bit programs run emulated: the tool and hostile suites and the kills run natively only"
      set -- --exclude-regex '^(tools|hostile)$'
    fi
    cmake --preset windows && cmake --build --preset windows &&
      ctest --preset windows "$@" || failed="$failed $preset"
  elif ! cmake --workflow --preset "$preset"; then
    failed="$failed $preset"
  fi
done

if [ -n "$failed" ]; then
  echo "FAILED:$failed" >&2
  exit 1
fi
if [ "$wine_tests" = none ]; then
  echo "All test suites passed, except those under Wine, which this machine cannot run."
  [ -z "${PATCH_REQUIRE_WINE:-}" ] || exit 1
elif [ "$wine_tests" = emulated ]; then
  echo "All test suites passed (Wine emulated: tool and hostile suites native only)."
else
  echo "All test suites passed."
fi

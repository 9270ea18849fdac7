#!/bin/sh
# Builds and runs every test: native, with sanitizers, and the Windows build
# under Wine (unit tests, the installer's checks and its end-to-end runs).
# Installs what the machine lacks first (as root). Exits non-zero when
# anything fails; the suites that follow a failure still run.
set -u
cd "$(dirname "$0")"
scripts/install-deps.sh || exit 1

: "${CMAKE_BUILD_PARALLEL_LEVEL:=$(nproc)}"
export CMAKE_BUILD_PARALLEL_LEVEL

failed=""
for preset in native sanitize windows; do
  echo "==== $preset ===="
  if ! cmake --workflow --preset "$preset"; then
    failed="$failed $preset"
  fi
done

if [ -n "$failed" ]; then
  echo "FAILED:$failed" >&2
  exit 1
fi
echo "All test suites passed."

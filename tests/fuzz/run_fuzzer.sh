#!/bin/sh
# run_fuzzer.sh FUZZER SECONDS WORKDIR SEEDDIR...
# Runs one fuzz target for a bounded time. The corpus it grows and any input
# that breaks it (crash-*, leak-*, timeout-*, oom-*) stay under WORKDIR.
set -eu
fuzzer=$1
seconds=$2
work=$3
shift 3
mkdir -p "$work/corpus" "$work/artifacts"
seeds=""
for dir in "$@"; do
  [ -d "$dir" ] && seeds="$seeds $dir"
done
status=0
# shellcheck disable=SC2086
"$fuzzer" -max_total_time="$seconds" -max_len=16384 -timeout=20 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" $seeds || status=$?
if ls "$work/artifacts"/* >/dev/null 2>&1; then
  echo "reproducers kept in $work/artifacts:" >&2
  ls -l "$work/artifacts" >&2
fi
exit $status

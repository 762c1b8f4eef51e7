#!/usr/bin/env bash
# Runs every fuzz target in a build folder for a bounded time each, starting
# from its checked-in seed corpus. Any crash or sanitizer report fails the run.
set -euo pipefail
dir=$1
seconds=${2:-20}
here=$(cd "$(dirname "$0")/.." && pwd)
status=0
for target in "$dir"/*_fuzz; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  work=$(mktemp -d)
  seeds="$here/tests/fuzz/corpus/$name"
  [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/
  echo "fuzzing $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
      -artifact_prefix="$work/" "$work" >"$work/log" 2>&1; then
    tail -n 60 "$work/log"
    echo "FUZZ FAILURE: $name (artifacts in $work)"
    status=1
  else
    grep -E 'stat::number_of_executed_units' "$work/log" || true
    rm -rf "$work"
  fi
done
exit $status

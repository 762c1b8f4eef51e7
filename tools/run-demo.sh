#!/usr/bin/env bash
# The demo station: four rows on simulated printers with different stories
# (see demo/settings.reg), in real time, until every row has finished a
# printer (rows that are quicker go on with the next one); then a summary. Extra arguments go to velloquin-cli (try --json).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
run="$here/build/demo-run"
mkdir -p "$run"
# The station writes its first-use serial configuration back into the
# settings file: work on a copy so the checked-in file stays as it is.
cp "$here/demo/settings.reg" "$run/settings.reg"
cd "$run"   # the activity log Zambrix.log lands here
echo "Velloquin demo: 4 rows, simulated printers, real time (a minute and a half)."
echo "Row 1 boot-load mode, row 2 forced, row 3 forced with Reset Baud Rate,"
echo "row 4 fails verification once and is retried with the adapter button."
status=0
VELLOQUIN_REGISTRY="$run/settings.reg" VELLOQUIN_BOOT_DIR="$here/demo/" \
  "$here/build/velloquin-cli" ports:4 --firmware "$here/demo/firmware.bot" \
  --reset-baud-row 3 --printers 1 "$@" || status=$?
# Exit code 1 means some printer failed: row 4's first flash does, by design.
if [ "$status" -gt 1 ]; then
  echo "demo failed (exit code $status)" >&2
  exit "$status"
fi

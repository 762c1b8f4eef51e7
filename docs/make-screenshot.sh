#!/usr/bin/env bash
# Renders docs/window.png: the window with 20 rows on simulated printers in
# different states, drawn offscreen (no display needed). With --frame-report
# it also prints the longest GUI frame seen while the rows worked. Needs
# build/velloquin (make build; VELLOQUIN_BIN names another). Usage:
#   docs/make-screenshot.sh [OUTPUT.png] [AFTER_MS] [extra velloquin arguments]
#   docs/make-screenshot.sh --frames [AFTER_MS]
# The second form is the responsiveness measurement: all 20 rows stream a
# 400 KB image at the full 115200 baud the whole time, and the longest GUI
# frame is printed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
frames=0
if [ "${1:-}" = "--frames" ]; then
  frames=1
  set -- /dev/null "${2:-20000}" --frame-report
fi
out=${1:-$here/docs/window.png}
after_ms=${2:-70000}
shift $(( $# > 2 ? 2 : $# ))
bin=${VELLOQUIN_BIN:-$here/build/velloquin}
run=$(mktemp -d)
trap 'rm -rf "$run"' EXIT
fw="$here/demo/firmware.bot"
# One bench per row, each with its own story, so the picture shows the
# states side by side: downloads at different stages, done, failed, waiting.
stories=(
  "sim:seed=1,consume=2000,arrive_ms=60000"
  "sim:seed=2,consume=2000,arrive_ms=62500"
  "sim:seed=3,mode=normal,flash_ms=600000"
  "sim:seed=4,flash_ms=500,consume=20000,linger_ms=600000"
  "sim:seed=5,consume=2000,arrive_ms=64000"
  "sim:seed=6,fault=unplug@9000,consume=4000"
  "sim:seed=7,consume=2000,arrive_ms=59000"
  "sim:seed=8,fault=wrong_sums,flash_ms=500,consume=20000"
  "sim:seed=9,arrive_ms=600000"
  "sim:seed=10,consume=2000,arrive_ms=66000"
  "sim:seed=11,flash_ms=800,consume=15000,linger_ms=600000,arrive_ms=3000"
  "sim:seed=12,consume=2000,arrive_ms=61000"
  "sim:seed=13,fault=silent,mode=normal"
  "sim:seed=14,consume=2000,arrive_ms=63000"
  "sim:seed=15,flash_ms=600000,consume=20000"
  "sim:seed=16,printers=3,flash_ms=500,consume=20000,arrive_ms=0;1000"
  "sim:seed=17,fault=unplug@4000,consume=3000"
  "sim:seed=18,consume=2000,arrive_ms=65000"
  "sim:seed=19,flash_ms=600,consume=18000,linger_ms=600000,arrive_ms=8000"
  "sim:seed=20,consume=2000,arrive_ms=67000"
)
if [ "$frames" = 1 ]; then
  fw="$run/big.bot"
  head -c 400000 /dev/urandom > "$fw"
  for i in "${!stories[@]}"; do stories[$i]="sim:seed=$((i + 1)),consume=12000"; done
  out="$run/frames.png"
fi
{
  echo "REGEDIT4"
  echo
  echo "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\IOCommZambrix]"
  echo "\"FilePath\"=\"$fw\""
  echo "\"VerFilePath\"=\"${fw%.bot}.ver\""
  echo
  echo "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\IOCommZambrix\\Ports]"
  for i in "${!stories[@]}"; do echo "\"COM$((i + 1))\"=\"${stories[$i]}\""; done
} > "$run/settings.reg"
cd "$run"   # Zambrix.log lands here
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} VELLOQUIN_REGISTRY="$run/settings.reg" \
  VELLOQUIN_BOOT_DIR="$here/demo/" \
  "$bin" ports:20 --screenshot "$out" --after-ms "$after_ms" "$@"
[ "$frames" = 1 ] || echo "wrote $out"

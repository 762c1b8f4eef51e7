#!/usr/bin/env bash
# Regenerates the demo data in this folder, byte for byte, from fixed labels:
# each file is a header text followed by SHA-256 blocks of "<label>-<n>".
# The files are committed; this script only shows how they were made.
#   demo/make_demo_data.sh [path/to/velloquin-sim]
set -euo pipefail
cd "$(dirname "$0")"
SIM=${1:-../build/velloquin-sim}

# bytes LABEL COUNT: COUNT deterministic bytes.
bytes() {
  local label=$1 count=$2 i=0 hex=""
  while (( ${#hex} < count * 2 )); do
    hex+=$(printf '%s-%d' "$label" "$i" | sha256sum | cut -c1-64)
    i=$((i + 1))
  done
  printf "$(printf '%s' "${hex:0:count*2}" | sed 's/../\\x&/g')"
}

# program NAME HEADER SIZE: a header line, then deterministic bytes up to SIZE.
program() {
  local name=$1 header=$2 size=$3
  { printf '%s\r\n' "$header"; bytes "$name" $((size - ${#header} - 2)); } > "$name"
}

bytes velloquin-demo-unlock-key 512 > UnlockKey.bin
program Kernel.sy_ "VELLOQUIN DEMO KERNEL 1.20" 3000
program Run.sy_ "VELLOQUIN DEMO RUN 1.20" 1500
program RunBaud.sy_ "VELLOQUIN DEMO RUN 1.20, BAUD RESET" 1500
program firmware.bot "VELLOQUIN DEMO FIRMWARE 1.20" 20000
"$SIM" ver firmware.bot firmware.ver
sha256sum UnlockKey.bin Kernel.sy_ Run.sy_ RunBaud.sy_ firmware.bot firmware.ver

#!/usr/bin/env bash
# Runs the demo station on simulated printers (see README). Until the
# headless station exists, the demo is the build itself.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -x build/velloquin-cli ]; then
  exec build/velloquin-cli "$@"
fi
echo "Built the core library and tests in build/. The headless station (build/velloquin-cli)"
echo "is not part of this version yet, so there is nothing to run."

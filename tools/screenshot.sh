#!/usr/bin/env bash
# A picture of the main window with two live site windows (a Modbus/TCP site and a serial RTU
# site against the device simulator), drawn off screen: runs the demo with the server asked to
# save its main window after a few seconds; the server then ends, and with it the demo.
#
# Usage: bash tools/screenshot.sh [FILE]     (default docs/main-window.png; no blanks in FILE)
set -uo pipefail
cd "$(dirname "$0")/.."
file=${1:-docs/main-window.png}
mkdir -p "$(dirname "$file")"
rm -f "$file"
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} \
  QMB_DEMO_SERVER_ARGS="--screenshot $file --screenshot-delay 6" bash tools/demo.sh 8 >/dev/null 2>&1
if [[ -s "$file" ]]; then
  echo "screenshot: $file"
else
  echo "screenshot: no picture was saved (run bash tools/demo.sh to see why)" >&2
  exit 1
fi

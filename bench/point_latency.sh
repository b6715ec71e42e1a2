#!/usr/bin/env bash
# The time from a host's POINTGETVALUE to its result on an idle Modbus/TCP site and an idle RTU
# site (median of COUNT reads each), against the device simulator (tools/qmb-devsim.py: pymodbus,
# Modbus/TCP on 127.0.0.1 and RTU on a pseudo-terminal linked as COM9).
#
# Usage: bench/point_latency.sh [BUILD_DIR] [COUNT]     (defaults: build, 50)
# Figures only: nothing here passes or fails.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
count=${2:-50}
[[ -x "$build/bench/qmb_point_latency" ]] || { echo "point_latency: build qmb_point_latency first" >&2; exit 2; }

work=$(mktemp -d)
sim=""
cleanup() {
  # The simulator is stopped by its own process id.
  if [[ -n "$sim" ]]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

export QORMODBUS_COMDIR="$work/com"
export QORMODBUS_LOGLEVEL=${QORMODBUS_LOGLEVEL:-warning}
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
/usr/bin/python3 "$here/../tools/qmb-devsim.py" --tcp "$port" --com 9 --framer rtu >"$work/sim.out" &
sim=$!
for _ in $(seq 100); do grep -q "qmb-devsim ready" "$work/sim.out" 2>/dev/null && break; sleep 0.1; done
grep -q "qmb-devsim ready" "$work/sim.out" || { echo "point_latency: the simulator did not start" >&2; exit 1; }

"$build/bench/qmb_point_latency" "127.0.0.1:$port" 9 "$count"

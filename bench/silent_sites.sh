#!/usr/bin/env bash
# A healthy Modbus/TCP site's read latency and polling rate alone and beside 4 and 50 sites whose
# devices never answer (each with a read in flight), against the device simulator
# (tools/qmb-devsim.py: pymodbus on 127.0.0.1). See bench/silent_sites.cpp.
#
# Usage: bench/silent_sites.sh [BUILD_DIR] [COUNT] [SECONDS]     (defaults: build, 30, 10)
# Figures only: nothing here passes or fails.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
count=${2:-30}
seconds=${3:-10}
[[ -x "$build/bench/qmb_silent_sites" ]] || { echo "silent_sites: build qmb_silent_sites first" >&2; exit 2; }

work=$(mktemp -d)
sim=""
cleanup() {
  # The simulator is stopped by its own process id.
  if [[ -n "$sim" ]]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
/usr/bin/python3 "$here/../tools/qmb-devsim.py" --tcp "$port" >"$work/sim.out" &
sim=$!
for _ in $(seq 100); do grep -q "qmb-devsim ready" "$work/sim.out" 2>/dev/null && break; sleep 0.1; done
grep -q "qmb-devsim ready" "$work/sim.out" || { echo "silent_sites: the simulator did not start" >&2; exit 1; }

"$build/bench/qmb_silent_sites" "127.0.0.1:$port" "$count" "$seconds"

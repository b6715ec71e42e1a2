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

# shellcheck source=bench/devsim.sh
source "$here/devsim.sh"
export QORMODBUS_COMDIR="$work/com"
export QORMODBUS_LOGLEVEL=${QORMODBUS_LOGLEVEL:-warning}
start_devsim point_latency --com 9 --framer rtu

"$build/bench/qmb_point_latency" "127.0.0.1:$port" 9 "$count"

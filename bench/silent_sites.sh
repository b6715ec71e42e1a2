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

# shellcheck source=bench/devsim.sh
source "$here/devsim.sh"
start_devsim silent_sites

"$build/bench/qmb_silent_sites" "127.0.0.1:$port" "$count" "$seconds"

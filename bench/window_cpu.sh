#!/usr/bin/env bash
# What the windows cost: the server's process CPU per second with 20 Modbus/TCP sites open and
# polling (their site windows updating), drawn off screen, beside the same server with no window.
# Sites are kept open by qmbctl watchers on a private bus, against the device simulator.
#
# Usage: bench/window_cpu.sh [BUILD_DIR] [SECONDS]     (defaults: build, 10)
# Figures only: nothing here passes or fails.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
seconds=${2:-10}
for program in qormodbus tools/qmbctl; do
  [[ -x "$build/$program" ]] || { echo "window_cpu: build $program first" >&2; exit 2; }
done
# shellcheck source=bench/devsim.sh
source "$here/devsim.sh"
start_devsim window_cpu
export QORMODBUS_LOGLEVEL=warning

pids=()
stop_all() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
trap 'stop_all; cleanup' EXIT

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

measure() {  # measure LABEL SERVER_ARGS...
  local label=$1
  shift
  dbus-daemon --session --nofork --print-address=1 >"$work/bus" 2>/dev/null &
  pids+=($!)
  for _ in $(seq 50); do [[ -s "$work/bus" ]] && break; sleep 0.1; done
  local bus
  bus=$(head -n1 "$work/bus")
  XDG_DATA_HOME="$work/data" "$build/qormodbus" --bus "$bus" "$@" 2>"$work/server.log" &
  local server=$!
  pids+=("$server")
  for _ in $(seq 100); do
    "$build/tools/qmbctl" --bus "$bus" DESCRIPTION=probe OFFLINE=TRUE >/dev/null 2>&1 && break
    sleep 0.1
  done
  for i in $(seq 20); do
    "$build/tools/qmbctl" --bus "$bus" "DESCRIPTION=Site $i" BP3=TRUE "SP3=127.0.0.1:$port" \
      --point HREG1 --point HREG2 --point IREG1 watch --count $((seconds + 10)) --interval 1 \
      >/dev/null 2>&1 &
    pids+=($!)
  done
  sleep 5
  local before after hz
  hz=$(getconf CLK_TCK)
  before=$(ticks "$server")
  sleep "$seconds"
  after=$(ticks "$server")
  awk -v b="$before" -v a="$after" -v s="$seconds" -v hz="$hz" -v l="$label" \
    'BEGIN { printf "%-34s %.1f ms of CPU per second (%.2f %% of a core)\n", l, (a - b) * 1000 / hz / s, (a - b) * 100 / hz / s }'
  stop_all
}

QT_QPA_PLATFORM=offscreen measure "20 sites, windows drawn off screen:"
measure "20 sites, no window:" --no-window

#!/usr/bin/env bash
# How close the fast scan (POLLMODE=FAST) comes to what a real serial line carries. A
# pseudo-terminal has no baud rate, so the device simulator runs paced (qmb-devsim --paced): each
# reply is held as a line at the baud rate would hold it, 11 bits a character, request and reply
# on one half-duplex wire with the device's turnaround between them. The wire's limit is worked
# out from the same frames: the points of one block read over the time its request and reply
# take on the wire plus the turnaround. Modbus RTU, at 9600 and 38400 baud.
#
# Usage: bench/wire_limit.sh [BUILD_DIR] [SECONDS] [POINTS] [TURNAROUND_MS]
#        (defaults: build, 20, 50, 2)
# Figures only: nothing here passes or fails.
set -euo pipefail
export QORMODBUS_LOGLEVEL=${QORMODBUS_LOGLEVEL:-warning}
build=${1:-build}
seconds=${2:-20}
points=${3:-50}
turnaround=${4:-2}
here=$(cd "$(dirname "$0")" && pwd)
scale="$build/bench/qmb_rtu_scale"
[[ -x "$scale" ]] || { echo "wire_limit: $scale is missing (build it)" >&2; exit 2; }
(( points >= 1 && points <= 125 )) || { echo "wire_limit: POINTS is 1 to 125 (one block read)" >&2; exit 2; }

work=$(mktemp -d)
sim=""
stop_sim() {
  # The simulator is stopped by its own process id.
  if [[ -n "$sim" ]]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
  sim=""
}
trap 'stop_sim; rm -rf "$work"' EXIT

rows=()
for baud in 9600 38400; do
  rm -rf "$work/com" && mkdir "$work/com"
  QORMODBUS_COMDIR="$work/com" /usr/bin/python3 "$here/../tools/qmb-devsim.py" --com 1 --framer rtu \
    --baud "$baud" --paced --turnaround "$turnaround" >"$work/sim.out" 2>&1 &
  sim=$!
  for _ in $(seq 100); do grep -q ready "$work/sim.out" 2>/dev/null && break; sleep 0.1; done
  grep -q ready "$work/sim.out" || { cat "$work/sim.out" >&2; exit 1; }
  QORMODBUS_COMDIR="$work/com" QMB_SITE_KEYS="POLLMODE=FAST BAUDRATE=$baud" \
    "$scale" 1 "$points" "$seconds" 2 >"$work/scan.out" || true
  stop_sim
  echo "== $baud baud, $points holding registers in one block, turnaround $turnaround ms =="
  sed 's/^/  /' "$work/scan.out"
  scan=$(sed -n 's/.*points refreshed [0-9]* = \([0-9.]*\)\/s.*/\1/p' "$work/scan.out")
  # One block: the request is 8 bytes (slave, function, start, quantity, CRC), the reply 5 and
  # two a register (slave, function, byte count, the registers, CRC).
  rows+=("$(awk -v b="$baud" -v n="$points" -v t="$turnaround" -v s="${scan:-0}" 'BEGIN {
    limit = n / (11 * (8 + 5 + 2 * n) / b + t / 1000)
    printf "%-6d %12.1f %12.1f %7.1f%%", b, s, limit, 100 * s / limit }')")
done
echo "== points per second: the fast scan against the wire's limit =="
printf '%-6s %12s %12s %8s\n' baud "fast scan" "wire limit" share
printf '%s\n' "${rows[@]}"

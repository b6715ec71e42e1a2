#!/usr/bin/env bash
# Points refreshed per second on one site: the fast scan (POLLMODE=FAST) beside the design's
# tick-paced polling and beside a libmodbus client reading the same registers one request each,
# back to back, over the same transport: Modbus RTU on a pseudo-terminal (qmb_rtu_slave answers)
# and Modbus/TCP on 127.0.0.1 (qmb_modbus_tcp_slave, libmodbus). Then the wire's own limit on
# paper at 9600 and 38400 baud, for the same points in one block and one request each.
# With FLOATS, each site also has that many FLOAT points over its first registers (two a point,
# beside the WORD points on them), and the fast scan runs once more with DECODE=TYPED, reading
# them by their type: the cost of typed points against the same list read one register a point.
#
# Usage: bench/fast_scan.sh [BUILD_DIR] [SECONDS] [POINTS] [FLOATS]   (defaults: build, 20, 50, 0)
# Figures only: nothing here passes or fails. Needs libmodbus-dev (the client and TCP slave).
set -euo pipefail
export QORMODBUS_LOGLEVEL=${QORMODBUS_LOGLEVEL:-warning}
build=${1:-build}
seconds=${2:-20}
points=${3:-50}
floats=${4:-0}
export QMB_FLOAT_POINTS=$floats
bench="$build/bench"
for program in qmb_rtu_scale qmb_rtu_slave qmb_tcp_scale qmb_modbus_tcp_slave qmb_modbus_client_bench; do
  [[ -x "$bench/$program" ]] || { echo "fast_scan: $bench/$program is missing (build it)" >&2; exit 2; }
done

work=$(mktemp -d)
pids=()
cleanup() {
  # Everything started here is stopped by its own process id.
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

refreshed() { sed -n 's/.*points refreshed [0-9]* = \([0-9.]*\)\/s.*/\1/p' "$1"; }
requests() { sed -n 's/.*requests in [0-9.]* s (\([0-9]*\)\/s).*/\1/p' "$1"; }

run_site() {  # NAME PROGRAM-AND-ARGUMENTS...: one site with $points points, tick-paced then fast
  local name=$1; shift
  "$@" 1 "$points" "$seconds" 2 >"$work/$name-tick.out" || true
  QMB_SITE_KEYS="POLLMODE=FAST" "$@" 1 "$points" "$seconds" 2 >"$work/$name-fast.out" || true
  grep -h "driver:" "$work/$name-tick.out" "$work/$name-fast.out" | sed 's/^/  /'
  if ((floats > 0)); then
    echo "  and with DECODE=TYPED:"
    QMB_SITE_KEYS="POLLMODE=FAST DECODE=TYPED" "$@" 1 "$points" "$seconds" 2 \
      >"$work/$name-typed.out" || true
    grep -h "driver:" "$work/$name-typed.out" | sed 's/^/  /'
  fi
}

mkdir "$work/com"
export QORMODBUS_COMDIR="$work/com"
"$bench/qmb_rtu_slave" "$work/com" 2 >"$work/slave.out" &
pids+=($!)
for _ in $(seq 50); do grep -q ready "$work/slave.out" 2>/dev/null && break; sleep 0.1; done
port=$((20000 + RANDOM % 20000))
"$bench/qmb_modbus_tcp_slave" "$port" >"$work/tcp-slave.out" 2>&1 &
pids+=($!)
sleep 0.5

sitePoints="$points holding registers"
((floats == 0)) || sitePoints="$points WORD and $floats FLOAT points on holding registers"
echo "== Modbus RTU on a pseudo-terminal: one site of $sitePoints, ${seconds} s each =="
run_site rtu "$bench/qmb_rtu_scale"
"$bench/qmb_modbus_client_bench" "$work/com/COM2" "$seconds" 0 "$points" >"$work/rtu-client.out" || true
sed 's/^/  /' "$work/rtu-client.out"

echo "== Modbus/TCP on 127.0.0.1: one site of $sitePoints, ${seconds} s each =="
run_site tcp "$bench/qmb_tcp_scale" "$port"
"$bench/qmb_modbus_client_bench" "$port" "$seconds" 0 "$points" >"$work/tcp-client.out" || true
sed 's/^/  /' "$work/tcp-client.out"

echo "== points refreshed per second =="
printf '  %-6s %12s %12s %12s %10s %10s\n' link tick-paced fast libmodbus fast/tick fast/libm
for link in rtu tcp; do
  tick=$(refreshed "$work/$link-tick.out"); fast=$(refreshed "$work/$link-fast.out")
  client=$(requests "$work/$link-client.out")
  awk -v l="$link" -v t="${tick:-0}" -v f="${fast:-0}" -v c="${client:-0}" 'BEGIN {
    printf "  %-6s %12.1f %12.1f %12.1f %9.1fx %9.2fx\n", l, t, f, c, (t > 0 ? f / t : 0), (c > 0 ? f / c : 0) }'
done
if ((floats > 0)); then
  # Where the scan is bound by the driver's CPU (Modbus/TCP on 127.0.0.1) a shared machine's load
  # moves points/s from run to run; points per second of the driver's CPU tell its own cost.
  echo "== fast scan of the same points, by type (DECODE=TYPED) against one register a point =="
  cpu() { sed -n 's/.*process CPU \([0-9.]*\) s.*/\1/p' "$1"; }
  count() { sed -n 's/.*points refreshed \([0-9]*\) = .*/\1/p' "$1"; }
  for link in rtu tcp; do
    fast=$(refreshed "$work/$link-fast.out"); typed=$(refreshed "$work/$link-typed.out")
    awk -v l="$link" -v f="${fast:-0}" -v t="${typed:-0}" \
      -v fn="$(count "$work/$link-fast.out")" -v fc="$(cpu "$work/$link-fast.out")" \
      -v tn="$(count "$work/$link-typed.out")" -v tc="$(cpu "$work/$link-typed.out")" 'BEGIN {
      fp = fc > 0 ? fn / fc : 0; tp = tc > 0 ? tn / tc : 0
      printf "  %-6s typed %.1f points/s (%.0f per CPU second), untyped %.1f points/s (%.0f per CPU second): %.3fx, per CPU second %.3fx\n", l, t, tp, f, fp, (f > 0 ? t / f : 0), (fp > 0 ? tp / fp : 0) }'
  done
fi

echo "== the RTU wire's limit on paper (11 bits a character, 3.5-character gaps around each frame) =="
awk -v n="$points" 'BEGIN {
  for (i = 0; i < 2; i++) {
    baud = i ? 38400 : 9600
    one = baud / (11 * (8 + 7 + 7))               # a request and a one-register reply each
    block = n * baud / (11 * (8 + 5 + 2 * n + 7))  # all the points in one block read
    printf "  %5d baud: one request a point %.1f points/s; one block of %d %.1f points/s\n", baud, one, n, block
  }
}'

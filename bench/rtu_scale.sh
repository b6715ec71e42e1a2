#!/usr/bin/env bash
# The driver at scale on serial lines against its yardstick, in one run: 100 Modbus RTU sites of
# 10 points each (qmb_rtu_scale, the driver in-process on the real Qt loop), each on its own
# pseudo-terminal answered by qmb_rtu_slave, for SECONDS, while a small libmodbus RTU client
# (qmb_modbus_client_bench) reads the same registers from one more of the slave's terminals at
# 200 requests a second; then the client alone, back to back. Then, when strace is installed,
# the system calls of each: the driver's per poll (a shorter run under strace -c -f) and the
# client's per request.
#
# Usage: bench/rtu_scale.sh [BUILD_DIR] [SECONDS] [SITES]     (defaults: build, 60, 100)
# Figures only: nothing here passes or fails. Needs libmodbus-dev (the client).
set -euo pipefail
export QORMODBUS_LOGLEVEL=${QORMODBUS_LOGLEVEL:-warning}
build=${1:-build}
seconds=${2:-60}
sites=${3:-100}
bench="$build/bench"
for program in qmb_rtu_scale qmb_rtu_slave qmb_modbus_client_bench; do
  [[ -x "$bench/$program" ]] || { echo "rtu_scale: $bench/$program is missing (build it)" >&2; exit 2; }
done

work=$(mktemp -d)
slave=""
cleanup() {
  # Everything started here is stopped by its own process id.
  if [[ -n "$slave" ]]; then kill "$slave" 2>/dev/null || true; wait "$slave" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/com"
export QORMODBUS_COMDIR="$work/com"
"$bench/qmb_rtu_slave" "$work/com" $((sites + 1)) >"$work/slave.out" &
slave=$!
for _ in $(seq 50); do grep -q ready "$work/slave.out" 2>/dev/null && break; sleep 0.1; done
grep -q ready "$work/slave.out" || { echo "rtu_scale: the slave did not start" >&2; exit 1; }
client_port="$work/com/COM$((sites + 1))"

echo "== ${sites} RTU sites x 10 points for ${seconds} s, and the libmodbus RTU client in the same run =="
warmup=5
"$bench/qmb_rtu_scale" "$sites" 10 "$seconds" "$warmup" >"$work/driver.out" &
driver=$!
sleep "$warmup"
"$bench/qmb_modbus_client_bench" "$client_port" "$seconds" 200 | tee "$work/client.out"
wait "$driver" || true
cat "$work/driver.out"
echo "== the libmodbus RTU client alone, back to back for 10 s (its CPU per request without a wake-up each) =="
"$bench/qmb_modbus_client_bench" "$client_port" 10 0

if command -v strace >/dev/null; then
  short=20
  echo "== system calls: the driver for ${short} s under strace -c -f (setup included) =="
  strace -c -f -o "$work/driver.strace" "$bench/qmb_rtu_scale" "$sites" 10 "$short" 0 \
    | tee "$work/driver-strace.out"
  polls=$(sed -n 's/.*measured: \([0-9]*\) polls.*/\1/p' "$work/driver-strace.out")
  calls=$(awk '$NF == "total" {print $4}' "$work/driver.strace")
  head -n 12 "$work/driver.strace"
  awk -v c="$calls" -v p="$polls" 'BEGIN {printf "driver: %d system calls / %d polls = %.2f per poll\n", c, p, c / p}'

  echo "== system calls: the libmodbus RTU client for 10 s under strace -c =="
  strace -c -o "$work/client.strace" "$bench/qmb_modbus_client_bench" "$client_port" 10 200 \
    | tee "$work/client-strace.out"
  requests=$(sed -n 's/libmodbus client: \([0-9]*\) requests.*/\1/p' "$work/client-strace.out")
  ccalls=$(awk '$NF == "total" {print $4}' "$work/client.strace")
  sleeps=$(awk '$NF ~ /nanosleep/ {print $4}' "$work/client.strace")
  head -n 12 "$work/client.strace"
  awk -v c="$ccalls" -v s="${sleeps:-0}" -v r="$requests" 'BEGIN {printf "client: %d system calls / %d requests = %.2f per request (%.2f without its pacing sleeps)\n", c, r, c / r, (c - s) / r}'
else
  echo "strace is not installed: no system call counts (apt-get install strace)"
fi

kill "$slave"
wait "$slave" 2>/dev/null || true
slave=""
cat "$work/slave.out"

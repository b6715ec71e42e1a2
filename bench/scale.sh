#!/usr/bin/env bash
# The driver at scale against its yardstick, in one run: SITES sites of 10 points each (the driver
# in-process on the real Qt loop: qmb_tcp_scale or qmb_rtu_scale) poll for SECONDS — Modbus/TCP
# sites one libmodbus slave on 127.0.0.1 (qmb_modbus_tcp_slave), Modbus RTU sites each their own
# pseudo-terminal answered by qmb_rtu_slave — while a small libmodbus client
# (qmb_modbus_client_bench) reads the same registers from the same kind of peer at 200 requests a
# second; then the client alone, back to back; then (Modbus/TCP) the driver alone and the client
# reading as many devices as the driver has sites in one burst per wake-up at the driver's pace. Then, when taskset is installed, the driver and
# the client pinned on the CPU beside the slave's and on the slave's own, with the driver's fixed
# cost (its sites with no points) apart from its cost per poll, and this machine's cost of one
# wake-up from idle (qmb_wake_cost). Then, when strace is installed, the system calls of each: the
# driver's per poll (a shorter run under strace -c -f) and the client's per request.
#
# Usage: bench/scale.sh tcp|rtu [BUILD_DIR] [SECONDS] [SITES]     (defaults: build, 60, 100)
#        (bench/tcp_scale.sh and bench/rtu_scale.sh run it for one link)
# Figures only: nothing here passes or fails. Needs libmodbus-dev (the yardstick programs).
set -euo pipefail
export QORMODBUS_LOGLEVEL=${QORMODBUS_LOGLEVEL:-warning}
link=${1:?usage: scale.sh tcp|rtu [BUILD_DIR] [SECONDS] [SITES]}
build=${2:-build}
seconds=${3:-60}
sites=${4:-100}
bench="$build/bench"
case "$link" in
  tcp) slave_program=qmb_modbus_tcp_slave label="Modbus/TCP" ;;
  rtu) slave_program=qmb_rtu_slave label="RTU" ;;
  *) echo "scale: the link is tcp or rtu, not \"$link\"" >&2; exit 2 ;;
esac
for program in "qmb_${link}_scale" "$slave_program" qmb_modbus_client_bench qmb_wake_cost; do
  [[ -x "$bench/$program" ]] || { echo "scale: $bench/$program is missing (build it)" >&2; exit 2; }
done

work=$(mktemp -d)
slave=""
cleanup() {
  # Everything started here is stopped by its own process id.
  if [[ -n "$slave" ]]; then kill "$slave" 2>/dev/null || true; wait "$slave" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

if [[ $link == tcp ]]; then
  port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  "$bench/$slave_program" "$port" >"$work/slave.out" &
  slave=$!
  driver=("$bench/qmb_tcp_scale" "$port")
  peer=$port
else
  mkdir "$work/com"
  export QORMODBUS_COMDIR="$work/com"
  "$bench/$slave_program" "$work/com" $((sites + 1)) >"$work/slave.out" &
  slave=$!
  driver=("$bench/qmb_rtu_scale")
  peer="$work/com/COM$((sites + 1))"
fi
for _ in $(seq 50); do grep -q ready "$work/slave.out" 2>/dev/null && break; sleep 0.1; done
grep -q ready "$work/slave.out" || { echo "scale: the slave did not start" >&2; exit 1; }

echo "== ${sites} ${label} sites x 10 points for ${seconds} s, and the libmodbus client in the same run =="
warmup=5
"${driver[@]}" "$sites" 10 "$seconds" "$warmup" >"$work/driver.out" &
driver_pid=$!
sleep "$warmup"
"$bench/qmb_modbus_client_bench" "$peer" "$seconds" 200 | tee "$work/client.out"
wait "$driver_pid" || true
cat "$work/driver.out"
echo "== the libmodbus client alone, back to back for 10 s =="
"$bench/qmb_modbus_client_bench" "$peer" 10 0

# The driver's goal: a tick's work on many sites costs about what a client serving the same
# devices from one wake-up spends, not one wake-up per reply. So the driver alone, and then the
# libmodbus client with a connection to each of as many devices as the driver has sites, sending
# one request on each and taking the replies in one burst per wake-up at the driver's own pace.
# One after the other, neither beside the other.
if [[ $link == tcp ]]; then
  burst_seconds=$((seconds < 20 ? seconds : 20))
  echo "== the driver alone, then the libmodbus burst client alone (${sites} devices a burst) at the driver's pace (${burst_seconds} s each) =="
  "${driver[@]}" "$sites" 10 "$burst_seconds" 2 >"$work/alone.out" || true
  cat "$work/alone.out"
  pace=$(sed -n 's/^driver: .* = \([0-9.]*\) polls\/s.*/\1/p' "$work/alone.out")
  if [[ -n "$pace" ]] && awk -v p="$pace" 'BEGIN { exit !(p > 0) }'; then
    "$bench/qmb_modbus_client_bench" "$peer" "$burst_seconds" "$pace" 10 "$sites" \
      >"$work/burst.out" || true
    cat "$work/burst.out"
    perPoll=$(sed -n 's/^driver: .* = \([0-9.]*\) us per poll.*/\1/p' "$work/alone.out")
    perBurstRequest=$(sed -n 's/^libmodbus client: .*= \([0-9.]*\) us per request.*/\1/p' "$work/burst.out")
    awk -v d="$perPoll" -v b="$perBurstRequest" 'BEGIN {
      if (b + 0 == 0) { print "driver/burst client: no figures (the burst client did not finish)"; exit }
      printf "driver/burst client: %.1f us per poll / %.1f us per request = %.2fx (goal <= 1.0x)\n", d, b, d / b
    }'
    # The share no work on a poll can remove: the driver wakes ten times a second, each tick one
    # wake-up, whatever its sites poll, while the burst client wakes once a burst.
    wake=$("$bench/qmb_wake_cost" 100 30 | sed -n 's/.* cost \([0-9.]*\) us .*/\1/p')
    awk -v w="$wake" -v p="$pace" -v b="$perBurstRequest" -v n="$sites" 'BEGIN {
      if (w + 0 == 0 || b + 0 == 0) exit
      printf "the ticks alone: 10 wake-ups/s x %.1f us / %.1f polls/s = %.1f us per poll (%.2fx the burst client; its own wake-ups %.1f us per request)\n", w, p, 10 * w / p, 10 * w / p / b, w / n
    }'
  else
    echo "driver/burst client: no figures (the driver made no polls)"
  fi
fi

# Where the processes run moves the yardstick more than anything the driver does: a client reading
# back to back on the slave's CPU hands that CPU to and fro and never sleeps, while on the other
# CPU each request waits for a wake-up from idle, which a virtual machine may charge to the woken
# process. The driver sleeps between its ticks whatever it polls, wherever it runs. So each is
# also pinned, on the other CPU and beside the slave, and the driver's fixed cost (the same sites
# with no points) is taken apart from its cost per poll.
placement_seconds=10
if command -v taskset >/dev/null && (($(nproc) >= 2)); then
  echo "== placement: the slave pinned to CPU 0; the driver and the client back to back pinned to CPU 1, then to CPU 0 beside it (${placement_seconds} s each) =="
  "$bench/qmb_wake_cost" 100 30
  # The wall time, polls and process CPU of a driver run.
  measured() { sed -n "s/^driver: .*, \([0-9.]*\) s measured: \([0-9]*\) polls.*process CPU \([0-9.]*\) s.*/\1 \2 \3/p" "$1"; }
  taskset -p -c 0 "$slave" >/dev/null
  for cpu in 1 0; do
    # A run with failures still prints its figures (and says so): it does not end the script.
    taskset -c "$cpu" "${driver[@]}" "$sites" 0 "$placement_seconds" 2 >"$work/idle.out" || true
    taskset -c "$cpu" "${driver[@]}" "$sites" 10 "$placement_seconds" 2 >"$work/busy.out" || true
    taskset -c "$cpu" "$bench/qmb_modbus_client_bench" "$peer" "$placement_seconds" 0 \
      >"$work/pinned.out" || true
    grep -h "failure counts now [1-9]\|[1-9][0-9]* failed" "$work/busy.out" "$work/pinned.out" || true
    read -r idleWall _ idleCpu < <(measured "$work/idle.out") || true
    read -r busyWall polls busyCpu < <(measured "$work/busy.out") || true
    client=$(sed -n 's/^libmodbus client: .*= \([0-9.]*\) us per request.*/\1/p' "$work/pinned.out")
    where=$([[ $cpu == 0 ]] && echo "beside the slave (CPU 0)" || echo "on the other CPU (CPU 1)")
    awk -v where="$where" -v iw="$idleWall" -v ic="$idleCpu" -v bw="$busyWall" -v polls="$polls" \
      -v bc="$busyCpu" -v client="$client" 'BEGIN {
        if (polls + 0 == 0 || iw + 0 == 0 || client + 0 == 0) { print where ": no figures (a run did not finish)"; exit }
        fixed = ic / iw; total = bc / polls * 1e6; marginal = (bc - fixed * bw) / polls * 1e6
        printf "%s: driver %.1f us per poll (%.2f ms/s with no points, %.1f us per poll beyond that); client back to back %.1f us per request; driver/client %.2fx\n", where, total, fixed * 1000, marginal, client, total / client
      }'
  done
  taskset -p -c "0-$(($(nproc) - 1))" "$slave" >/dev/null
else
  echo "(taskset is not installed or there is one CPU: no pinned runs)"
fi

if command -v strace >/dev/null; then
  short=20
  echo "== system calls: the driver for ${short} s under strace -c -f (setup included) =="
  strace -c -f -o "$work/driver.strace" "${driver[@]}" "$sites" 10 "$short" 0 \
    | tee "$work/driver-strace.out"
  polls=$(sed -n 's/.*measured: \([0-9]*\) polls.*/\1/p' "$work/driver-strace.out")
  calls=$(awk '$NF == "total" {print $4}' "$work/driver.strace")
  head -n 12 "$work/driver.strace"
  awk -v c="$calls" -v p="$polls" 'BEGIN {printf "driver: %d system calls / %d polls = %.2f per poll\n", c, p, c / p}'

  echo "== system calls: the libmodbus client for 10 s under strace -c =="
  strace -c -o "$work/client.strace" "$bench/qmb_modbus_client_bench" "$peer" 10 200 \
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

#!/usr/bin/env bash
# The driver's demonstration, from a fresh checkout: installs what is missing, builds, then starts
# the device simulator (Modbus/TCP on 127.0.0.1:15020 and Modbus RTU on a pseudo-terminal linked as
# COM1) and the server, opens one Modbus/TCP site and one serial RTU site through qmbctl,
# registers points on both, writes one register, and shows the live values for a while. It uses
# the session bus, or a private one when there is none, and stops everything it started.
#
# Usage: bash tools/demo.sh [SECONDS]     (default 20; also QMB_DEMO_SECONDS)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-${QMB_DEMO_SECONDS:-20}}
build=${QMB_BUILD_DIR:-build}

bash tools/setup-debian.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target qormodbus qmbctl

work=$(mktemp -d /tmp/qmb-demo.XXXXXX)
pids=()
cleanup() {
  local pid
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid=${pids[i]}
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say() { printf '\n== %s\n' "$*"; }

# 1. The bus.
if [[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ]] &&
  dbus-send --session --dest=org.freedesktop.DBus --type=method_call --print-reply \
    /org/freedesktop/DBus org.freedesktop.DBus.GetId >/dev/null 2>&1; then
  bus=$DBUS_SESSION_BUS_ADDRESS
  say "Using the session bus"
else
  dbus-daemon --session --nofork --print-address=1 >"$work/bus.address" 2>"$work/bus.log" &
  pids+=($!)
  for _ in $(seq 50); do [[ -s "$work/bus.address" ]] && break; sleep 0.1; done
  bus=$(head -n1 "$work/bus.address")
  [[ -n "$bus" ]] || { echo "demo: the private bus did not start" >&2; exit 1; }
  say "Started a private session bus: $bus"
fi

# 2. The device simulator. Sites name a port after the host ("127.0.0.1:15020"), so no privileged
#    port is needed; when the port is taken the serial site still runs.
export QORMODBUS_COMDIR="$work/com"
tcp=yes
tcp_port=${QMB_DEMO_TCP_PORT:-15020}
/usr/bin/python3 tools/qmb-devsim.py --tcp "$tcp_port" --com 1 --framer rtu >"$work/sim.out" 2>"$work/sim.log" &
pids+=($!)
for _ in $(seq 100); do grep -q ready "$work/sim.out" 2>/dev/null && break
  kill -0 "${pids[-1]}" 2>/dev/null || break; sleep 0.1; done
if ! grep -q ready "$work/sim.out" 2>/dev/null; then
  echo "demo: the simulator could not serve Modbus/TCP on port $tcp_port ($(tail -n1 "$work/sim.log"));" \
    "showing the serial site only" >&2
  tcp=no
  /usr/bin/python3 tools/qmb-devsim.py --com 1 --framer rtu >"$work/sim.out" 2>"$work/sim.log" &
  pids+=($!)
  for _ in $(seq 100); do grep -q ready "$work/sim.out" 2>/dev/null && break; sleep 0.1; done
fi
say "Device simulator: $(cat "$work/sim.out")"

# 3. The server, standalone on that bus (its registration goes to the demo's own folder).
# QMB_DEMO_SERVER_ARGS: more options for the server (tools/screenshot.sh asks for a picture).
# shellcheck disable=SC2086
XDG_DATA_HOME="$work/data" "$build/qormodbus" --bus "$bus" ${QMB_DEMO_SERVER_ARGS:-} 2>"$work/server.log" &
pids+=($!)
qmbctl() { "$build/tools/qmbctl" --bus "$bus" "$@"; }
for _ in $(seq 100); do
  qmbctl DESCRIPTION=probe OFFLINE=TRUE >/dev/null 2>&1 && break
  kill -0 "${pids[-1]}" 2>/dev/null || { cat "$work/server.log" >&2; exit 1; }
  sleep 0.1
done
say "Server: $(grep -m1 'serving on' "$work/server.log" | sed 's/.*info: //')"

tcp_site=(DESCRIPTION=Demo-TCP BP3=TRUE "SP3=127.0.0.1:$tcp_port")
rtu_site=(DESCRIPTION=Demo-RTU COMPORT=1 BAUDRATE=38400 BP2=TRUE)

# 4. One write and one read on each site, then the live values.
if [[ $tcp == yes ]]; then
  say "Modbus/TCP site: write 1234 to HREG20, read it back"
  qmbctl "${tcp_site[@]}" POINTMODIFY 'POINT={HREG20}{HREG20}{VALUE=1234}' >/dev/null
  qmbctl "${tcp_site[@]}" POINTGETVALUE 'POINT={setpoint}{HREG20}'
fi
say "Serial RTU site on COM1: read the fixed register HREG4 of slave 1"
qmbctl "${rtu_site[@]}" POINTGETVALUE 'POINT={fixed}{1-HREG4}'

say "Live values for ${seconds} s (HREG1 counts seconds, HREG2 is a wave, OUT1/IN1 toggle)"
count=$((seconds > 0 ? seconds : 1))
watchers=()
if [[ $tcp == yes ]]; then
  (qmbctl "${tcp_site[@]}" --point HREG1 --point HREG2 --point OUT1 --point IREG1 \
    watch --count "$count" | sed -u 's/^/[TCP] /'; exit "${PIPESTATUS[0]}") &
  watchers+=($!)
fi
(qmbctl "${rtu_site[@]}" --point 1-HREG1 --point 1-HREG3 --point 1-IN1 \
  watch --count "$count" | sed -u 's/^/[RTU] /'; exit "${PIPESTATUS[0]}") &
watchers+=($!)
status=0
for pid in "${watchers[@]}"; do wait "$pid" || status=1; done

say "Done; stopping what the demo started"
exit $status

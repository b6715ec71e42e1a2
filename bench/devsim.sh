# Sourced by the benchmarks that run against the device simulator (tools/qmb-devsim.py, pymodbus):
# a work folder, a free port on 127.0.0.1, and the simulator started on it and stopped, by its own
# process id, when the script ends.
work=$(mktemp -d)
sim=""
cleanup() {
  if [[ -n "$sim" ]]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')

# start_devsim NAME ARGS...: the simulator with --tcp on that port and ARGS; NAME for messages.
start_devsim() {
  local name=$1
  shift
  /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/../tools/qmb-devsim.py" --tcp "$port" "$@" >"$work/sim.out" &
  sim=$!
  for _ in $(seq 100); do grep -q "qmb-devsim ready" "$work/sim.out" 2>/dev/null && break; sleep 0.1; done
  grep -q "qmb-devsim ready" "$work/sim.out" || { echo "$name: the simulator did not start" >&2; exit 1; }
}

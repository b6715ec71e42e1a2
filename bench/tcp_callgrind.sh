#!/usr/bin/env bash
# The driver's user-space work per poll, counted in instructions rather than timed: qmb_tcp_scale
# (SITES Modbus/TCP sites of 10 points against qmb_modbus_tcp_slave on 127.0.0.1) under valgrind's
# callgrind. The counters are zeroed once the sites poll steadily and dumped a fixed wall time
# later, before the program's own teardown; the polls are the calls of the bench's counting
# Send in that window. Instructions do not move with the load of a shared machine as CPU times
# do, so two builds compare to the percent; what the kernel spends (wake-ups, system calls) is
# not in them: bench/scale.sh has those.
#
# Usage: bench/tcp_callgrind.sh [BUILD_DIR] [SITES] [TOP]     (defaults: build, 20, 15)
# Prints the instructions per poll and the TOP functions by their own instructions per poll; the
# profile stays in OUT_DIR (default: a new temporary folder) for callgrind_annotate.
# Needs valgrind and python3. Figures only: nothing here passes or fails.
set -euo pipefail
export QORMODBUS_LOGLEVEL=${QORMODBUS_LOGLEVEL:-warning}
build=${1:-build}
sites=${2:-20}
top=${3:-15}
bench="$build/bench"
for program in qmb_tcp_scale qmb_modbus_tcp_slave; do
  [[ -x "$bench/$program" ]] || { echo "tcp_callgrind: $bench/$program is missing (build it)" >&2; exit 2; }
done
command -v valgrind >/dev/null || { echo "tcp_callgrind: valgrind is not installed" >&2; exit 2; }
out=${OUT_DIR:-$(mktemp -d)}

slave=""
cleanup() {
  # The slave is stopped by its own process id.
  if [[ -n "$slave" ]]; then kill "$slave" 2>/dev/null || true; wait "$slave" 2>/dev/null || true; fi
}
trap cleanup EXIT
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$bench/qmb_modbus_tcp_slave" "$port" >"$out/slave.out" &
slave=$!
for _ in $(seq 50); do grep -q ready "$out/slave.out" 2>/dev/null && break; sleep 0.1; done
grep -q ready "$out/slave.out" || { echo "tcp_callgrind: the slave did not start" >&2; exit 1; }

# Wall time under valgrind: the sites open and settle in the first 15 s, the window is the next
# 25 s, and the program measures until 45 s (5 s of its own warm-up and 40 measured).
valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out" "$bench/qmb_tcp_scale" "$port" \
  "$sites" 10 40 5 >"$out/driver.out" 2>"$out/valgrind.err" &
driver=$!
sleep 15
callgrind_control -z "$driver" >/dev/null
sleep 25
callgrind_control -d "$driver" >/dev/null
wait "$driver" || true
grep "^driver:" "$out/driver.out" || true

python3 - "$out/callgrind.out.1" "$top" <<'EOF'
import collections, re, sys
path, top = sys.argv[1], int(sys.argv[2])
names, own, calls = {}, collections.Counter(), collections.Counter()
fn = callee = None
call_line = False
def name(text):
    # Callgrind names a function once in full, then by its number alone.
    m = re.match(r'\((\d+)\)(?: (.*))?', text)
    if not m:
        return text
    if m.group(2):
        names[m.group(1)] = m.group(2)
    return names.get(m.group(1), text)
for line in open(path):
    line = line.rstrip('\n')
    if line.startswith('fn='):
        fn = name(line[3:])
    elif line.startswith('cfn='):
        callee = name(line[4:])
    elif line.startswith('calls='):
        calls[callee] += int(line[6:].split()[0])
        call_line = True
    elif line[:1].isdigit() or line[:1] in '+-*':
        fields = line.split()
        if len(fields) >= 2:
            if call_line:  # the cost of a call, counted in the callee's own lines
                call_line = False
            else:
                own[fn] += int(fields[1])
polls = sum(n for f, n in calls.items() if 'CountingTcpClient::Send' in f)
if polls == 0:
    sys.exit('tcp_callgrind: no polls in the window')
total = sum(own.values())
print(f'callgrind: {total} instructions / {polls} polls = {total / polls:.0f} per poll')
for f, n in own.most_common(top):
    print(f'{n / polls:8.0f}  {f[:140]}')
EOF
echo "(profile: $out/callgrind.out.1)"

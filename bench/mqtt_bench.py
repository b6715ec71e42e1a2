#!/usr/bin/python3
"""The MQTT bridge at a fast-scanned site's pace: 1,000 holding registers of one Modbus/TCP device
(bench/modbus_tcp_slave.cpp), each changing ten times a second, published by
`qormodbus --mqtt FILE` (poll = "fast", interval_ms = 100) to a mosquitto broker on 127.0.0.1
and followed by `mosquitto_sub -v -t 'qormodbus/#'`; then a bare libmosquitto program
(bench/mqtt_floor.cpp) publishing as many messages of the same size to the same broker, the
yardstick for the server's CPU per change (goal: at most twice the floor's CPU per message).

Each register's value goes up by one at each change, so the subscriber tells a lost change by a
jump, and a late or repeated one by a step that is not +1. Two devices, one run each:

  * read:  a register changes each time it is read. Every read the bridge makes is a change, so
           any jump is a change that was read and not delivered.
  * clock: every register changes every 100 ms on the device's own clock. The bridge samples
           it every 100 ms, so a poll that comes late by a whole change shows as a jump as well
           ("missed" then also counts changes the bridge did not read in time).

After the window the device stops changing (SIGUSR1), the run waits for the last values, reads
the device's registers itself and counts, per topic, every change from the topic's first
message to that last value that never arrived.

Usage: /usr/bin/python3 bench/mqtt_bench.py [--qormodbus build/qormodbus] [--bench build/bench]
       [--seconds 10] [--device read|clock|both] [--sub-qos 0]
Figures only: nothing here passes or fails. Needs mosquitto and mosquitto-clients.
"""

import argparse
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

from benchbus import cpu_seconds, server_on_private_bus

POINTS = 1000
NODE, SITE = "bench", "moving"
VALUE = re.compile(rb'"value":(-?\d+)')


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(predicate, seconds, step=0.02):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(step)
    return True


def stop(process):
    """Stops a process this run started, by its id."""
    if process and process.poll() is None:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def read_holding(port, count):
    """The device's holding registers 1..count, read with plain Modbus/TCP requests."""
    values = []
    with socket.create_connection(("127.0.0.1", port), timeout=5) as link:
        for first in range(0, count, 125):
            n = min(125, count - first)
            link.sendall(struct.pack(">HHHBBHH", first + 1, 0, 6, 255, 3, first, n))
            reply = b""
            while len(reply) < 9 + 2 * n:
                chunk = link.recv(4096)
                if not chunk:
                    raise OSError("the device closed the connection")
                reply += chunk
            values += struct.unpack(f">{n}H", reply[9:9 + 2 * n])
    return values


class Device:
    """The Modbus/TCP slave, changing its holding registers; follows its "made N" lines."""

    def __init__(self, program, mode):
        self.port = free_port()
        flag = ["--change-on-read"] if mode == "read" else ["--change-ms", "100"]
        self.process = subprocess.Popen([program, str(self.port), *flag], stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
        if not self.process.stdout.readline().startswith(b"ready"):
            sys.exit("mqtt_bench: the device did not start")
        self.made = [(time.monotonic(), 0)]
        self.frozen = None
        threading.Thread(target=self._follow, daemon=True).start()

    def _follow(self):
        for line in self.process.stdout:
            words = line.split()
            if len(words) == 2 and words[0] == b"made":
                self.made.append((time.monotonic(), int(words[1])))
            elif len(words) == 2 and words[0] == b"frozen":
                self.frozen = int(words[1])

    def made_at(self, moment):
        """The last (time, changes made) the device told at or before the moment."""
        return [entry for entry in self.made if entry[0] <= moment][-1]


class Subscriber:
    """mosquitto_sub -v on the bridge's topics (and the broker's publish counters); checks that
    each point's values go up by exactly one from message to message."""

    def __init__(self, port, qos):
        prefix = f"qormodbus/{NODE}/{SITE}/".encode()
        self.prefix = prefix
        # The broker's count of messages received (mosquitto 2.0's count of publishes received
        # stays at 0): the bridge's publishes, and a QoS 1 or 2 subscriber's acknowledgements.
        command = ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-v", "-q", str(qos),
                   "-t", "qormodbus/#", "-t", "$SYS/broker/messages/received"]
        if shutil.which("stdbuf"):
            command = ["stdbuf", "-oL", *command]  # each line as it comes, not at the end
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.qos = qos
        self.following = True
        self.last = {}  # point topic -> last value
        self.first = {}  # point topic -> first value
        self.messages = 0  # point messages
        self.payload_bytes = 0
        self.jumps = 0  # changes skipped between two messages
        self.disorder = 0  # steps back or repeats
        self.received = []  # (time, the broker's count of messages received)
        self.other = []  # state topics and anything else, in order
        threading.Thread(target=self._follow, daemon=True).start()

    def _follow(self):
        for line in self.process.stdout:
            topic, _, payload = line.rstrip(b"\n").partition(b" ")
            if topic.startswith(b"$SYS/"):
                self.received.append((time.monotonic(), int(payload)))
                continue
            if not self.following:
                continue
            point = topic[len(self.prefix):] if topic.startswith(self.prefix) else b""
            match = VALUE.search(payload) if point and b"/" not in point and point[:1] != b"$" \
                else None
            if not match:
                self.other.append((topic.decode(), payload.decode(errors="replace")))
                continue
            value = int(match.group(1))
            self.messages += 1
            self.payload_bytes += len(payload)
            last = self.last.get(point)
            if last is None:
                self.first[point] = value
            else:
                step = (value - last) % 65536
                if step == 0 or step > 32768:
                    self.disorder += 1
                elif step > 1:
                    self.jumps += step - 1
            self.last[point] = value

    def published_per_second(self, start, end, delivered_per_second):
        """The broker's messages received per second between its first and last report inside
        the window (it reports every second), less this subscriber's acknowledgements."""
        samples = [s for s in self.received if start <= s[0] <= end]
        if len(samples) < 2 or samples[-1][0] == samples[0][0]:
            return None
        rate = (samples[-1][1] - samples[0][1]) / (samples[-1][0] - samples[0][0])
        return rate - (delivered_per_second if self.qos > 0 else 0)


def config_text(broker_port, device_port, interval_ms):
    lines = ["[broker]", f'url = "mqtt://127.0.0.1:{broker_port}"', f'node = "{NODE}"', "",
             "[[site]]", f'name = "{SITE}"', 'transport = "tcp"', 'host = "127.0.0.1"',
             f"port = {device_port}", 'poll = "fast"', f"interval_ms = {interval_ms}"]
    for n in range(1, POINTS + 1):
        lines += ["", "  [[site.point]]", f'  name = "p{n}"', f'  address = "HREG{n}"']
    return "\n".join(lines) + "\n"


def bridge_run(args, mode, broker, subscriber, work):
    """One run of the bridge against a device of the given kind; its figures."""
    device = Device(os.path.join(args.bench, "qmb_modbus_tcp_slave"), mode)
    config = os.path.join(work, f"bridge-{mode}.toml")
    with open(config, "w") as f:
        f.write(config_text(broker.port, device.port, args.interval_ms))
    log = open(os.path.join(work, f"server-{mode}.log"), "wb")
    subscriber.last.clear()
    subscriber.first.clear()
    subscriber.messages = subscriber.payload_bytes = subscriber.jumps = subscriber.disorder = 0
    subscriber.following = True
    try:
        with server_on_private_bus(args.qormodbus, "mqtt_bench", server_stderr=log,
                                   extra_args=["--mqtt", config]) as setup:
            server = setup.server
            if not wait_for(lambda: len(subscriber.last) == POINTS, 30):
                sys.exit(f"mqtt_bench: {len(subscriber.last)} of {POINTS} points reported in "
                         f"30 s (server log: {log.name})")
            time.sleep(args.warmup)
            t0, cpu0, got0 = time.monotonic(), cpu_seconds(server.pid), subscriber.messages
            broker0 = cpu_seconds(broker.process.pid)
            time.sleep(args.seconds)
            t1, cpu1, got1 = time.monotonic(), cpu_seconds(server.pid), subscriber.messages
            broker1 = cpu_seconds(broker.process.pid)
            device.process.send_signal(signal.SIGUSR1)
            if not wait_for(lambda: device.frozen is not None, 5):
                sys.exit("mqtt_bench: the device did not stop changing")
            final = read_holding(device.port, POINTS)
            expected = {f"p{n}".encode(): final[n - 1] for n in range(1, POINTS + 1)}
            arrived = wait_for(lambda: all(subscriber.last.get(p) == v
                                           for p, v in expected.items()), 5)
            subscriber.following = False
    finally:
        log.close()
        stop(device.process)
    (m0, made0), (m1, made1) = device.made_at(t0), device.made_at(t1)
    delivered = got1 - got0
    changes = sum((v - subscriber.first[p]) % 65536 for p, v in expected.items()
                  if p in subscriber.first)
    late = sum((v - subscriber.last.get(p, v)) % 65536 for p, v in expected.items())
    return {
        "mode": mode,
        "made": (made1 - made0) / (m1 - m0) if m1 > m0 else 0.0,
        "published": subscriber.published_per_second(t0, t1, delivered / (t1 - t0)),
        "delivered": delivered / (t1 - t0),
        "changes": changes,
        "missed": subscriber.jumps + late,
        "disorder": subscriber.disorder,
        "all_arrived": arrived,
        "cpu_us": (cpu1 - cpu0) / max(delivered, 1) * 1e6,
        "broker_us": (broker1 - broker0) / max(delivered, 1) * 1e6,
        "payload": subscriber.payload_bytes / max(subscriber.messages, 1),
        "log": log.name,
    }


class Broker:
    def __init__(self, work):
        self.port = free_port()
        config = os.path.join(work, "mosquitto.conf")
        with open(config, "w") as f:
            # The broker's own publish counters every second (published/s); nothing kept on disk.
            f.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\n"
                    "persistence false\nsys_interval 1\n")
        self.process = subprocess.Popen(["/usr/sbin/mosquitto", "-c", config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def listening():
            with socket.socket() as probe:
                return probe.connect_ex(("127.0.0.1", self.port)) == 0
        if not wait_for(listening, 10, 0.05):
            sys.exit("mqtt_bench: mosquitto did not start")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--qormodbus", default="build/qormodbus")
    parser.add_argument("--bench", default="build/bench", help="where the bench programs are")
    parser.add_argument("--seconds", type=float, default=10.0, help="each measured window")
    parser.add_argument("--warmup", type=float, default=2.0,
                        help="after the first report, before the window")
    parser.add_argument("--device", choices=["read", "clock", "both"], default="both")
    parser.add_argument("--interval-ms", type=int, default=100)
    parser.add_argument("--sub-qos", type=int, choices=[0, 1, 2], default=0)
    parser.add_argument("--inflight", type=int, default=20,
                        help="the floor's limit of unacknowledged QoS 1 messages")
    args = parser.parse_args()
    for program in ["/usr/sbin/mosquitto", shutil.which("mosquitto_sub") or "mosquitto_sub",
                    args.qormodbus, os.path.join(args.bench, "qmb_modbus_tcp_slave"),
                    os.path.join(args.bench, "qmb_mqtt_floor")]:
        if not os.access(program, os.X_OK):
            sys.exit(f"mqtt_bench: {program} is missing")

    print(f"mqtt_bench: {os.cpu_count()} CPUs, load {os.getloadavg()[0]:.2f}; {POINTS} points, "
          f"interval_ms {args.interval_ms}, poll fast, {args.seconds:g} s windows, "
          f"subscriber QoS {args.sub_qos}")
    work = tempfile.mkdtemp(prefix="qmb-mqtt-bench-", dir=os.environ.get("TMPDIR"))
    broker = subscriber = None
    rows = []
    try:
        broker = Broker(work)
        subscriber = Subscriber(broker.port, args.sub_qos)
        time.sleep(0.3)
        for mode in (["read", "clock"] if args.device == "both" else [args.device]):
            rows.append(bridge_run(args, mode, broker, subscriber, work))
        states = [t for t, _ in subscriber.other if t.endswith("$state")]
        floor = subprocess.run(
            [os.path.join(args.bench, "qmb_mqtt_floor"), str(broker.port), str(args.seconds),
             str(POINTS), str(1000 / args.interval_ms), f"{NODE}/{SITE}",
             str(args.inflight)], capture_output=True, text=True)
    finally:
        stop(subscriber and subscriber.process)
        stop(broker and broker.process)
    print(floor.stdout.strip() or floor.stderr.strip())
    match = re.search(r"payload (\d+) bytes.*= ([0-9.]+) us per message", floor.stdout)
    floor_us = float(match.group(2)) if match else None
    print(f"state topics seen: {len(states)} ({', '.join(sorted(set(states))[:3])}...)")
    header = (f"{'device':7} {'made/s':>8} {'published/s':>11} {'delivered/s':>11} "
              f"{'changes':>8} {'missed':>6} {'disorder':>8} {'bytes':>5} {'server us/chg':>13} "
              f"{'broker us/msg':>13} {'floor us/msg':>12} {'ratio':>6}")
    print(header)
    for r in rows:
        published = f"{r['published']:.0f}" if r["published"] is not None else "-"
        ratio = f"{r['cpu_us'] / floor_us:.2f}x" if floor_us else "-"
        print(f"{r['mode']:7} {r['made']:8.0f} {published:>11} {r['delivered']:11.0f} "
              f"{r['changes']:8d} {r['missed']:6d} {r['disorder']:8d} {r['payload']:5.1f} "
              f"{r['cpu_us']:13.1f} {r['broker_us']:13.1f} "
              f"{floor_us if floor_us else float('nan'):12.1f} {ratio:>6}")
        if not r["all_arrived"]:
            print(f"  ({r['mode']}: not every point's last value arrived within 5 s)")
    print("server us/chg: the server's CPU (/proc/PID/stat) over the window per point message "
          "delivered; floor: qmb_mqtt_floor's own CPU per message at the same rate; goal <= 2x")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

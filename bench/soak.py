#!/usr/bin/python3
"""Soak run: host clients on the bus issue mixed commands against the device simulator (pymodbus)
on Modbus/TCP and on a pseudo-terminal pair, for a long time, while the Modbus/TCP slave is
stopped and started again every minute and the serial one (its pty far end closed and made
anew) every ten minutes. Every minute the server's resident memory and open descriptors are
sampled. Checks that every command reaches a final state, that every reply is well formed and
that the server lives; reports the growth of memory and descriptors after the first tenth of the
run (a leak shows as growth that goes on).

Usage: /usr/bin/python3 bench/soak.py [--qormodbus build/qormodbus] [--minutes 60]
                                      [--clients 20] [--tcp-restart 60] [--serial-restart 600]
Exit status 0 when the checks held (the growth is reported, not judged), 1 otherwise.
"""

import argparse
import collections
import multiprocessing
import os
import random
import signal
import socket
import subprocess
import sys
import time

import dbus

from benchbus import DRIVER, FACTORY, NAME, open_fds, rss_kib, server_on_private_bus
DEVSIM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "qmb-devsim.py")
FINAL = ("TRUE", "FALSE", "LOCKED")
COMMANDS = [
    ["COMMAND=POINTGETVALUE", "POINT={p}{HREG4}"],
    ["COMMAND=POINTGETVALUE", "POINT={p}{1-IN2}"],
    ["COMMAND=POINTMODIFY", "POINT={w}{HREG30}{VALUE=%d}"],
    ["COMMAND=SITESTATUS"],
    ["COMMAND=SITETIME"],
    ["COMMAND=GETPOINTSLIST"],
    ["COMMAND=POINTVERIFY", "POINTNAME=Pump", "POINTADDRESS=1-HREG7"],
    ["COMMAND=SENDPOINTSLIST", "POINT0={a}{HREG1}", "POINT1={b}{1-OUT2}", "POINT2={c}{IREG3}"],
]


def status_of(reply):
    """The COMMANDSTATUS value of a well-formed reply, or None."""
    if isinstance(reply, dbus.Array) and reply.signature in ("v", "s", "") and len(reply) >= 1:
        first = str(reply[0])
        if first.startswith("COMMANDSTATUS="):
            return first[len("COMMANDSTATUS="):]
    if isinstance(reply, dbus.Array) and reply.signature == "y":
        return "TRUE"  # a raw reply
    return None


def client(address, site, deadline, results):
    counts = collections.Counter()
    rng = random.Random(os.getpid())
    try:
        connection = dbus.bus.BusConnection(address)
        path = connection.call_blocking(NAME, FACTORY, "QorModBus.ClassFactory",
                                        "CreateInstance", "", [])

        def call(member, items):
            return connection.call_blocking(NAME, path, DRIVER, member, "v",
                                            [dbus.Array(items, signature="s")], timeout=120)

        call("SetDriverOption", ["VERSIONCHECK=1.8"])
        call("OpenSite", site)
        while time.monotonic() < deadline:
            template = rng.choice(COMMANDS)
            command = [item % rng.randrange(1000) if "%d" in item else item for item in template]
            began = time.monotonic()
            reply = call("ExecuteCommand", command)
            while True:
                status = status_of(reply)
                if status is None:
                    counts["malformed"] += 1
                    break
                if status in FINAL:
                    counts[f"{command[0][8:]} {status}"] += 1
                    break
                if time.monotonic() - began > 120:
                    counts["stuck"] += 1
                    break
                time.sleep(0.05)
                items = command if status == "Waiting for driver..." else ["COMMAND=COMMANDSTATUS"]
                reply = call("ExecuteCommand", items)
        connection.close()
    except dbus.DBusException as error:
        counts["bus error: " + error.get_dbus_name()] += 1
    results.put(counts)


class Simulator:
    def __init__(self, env, *args):
        self.env, self.args, self.process = env, args, None

    def start(self):
        self.process = subprocess.Popen(["/usr/bin/python3", DEVSIM, *self.args], env=self.env,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        text=True)
        if "qmb-devsim ready" not in self.process.stdout.readline():
            raise RuntimeError("the simulator did not start")

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)
        if self.process:
            self.process.stdout.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--qormodbus", default="build/qormodbus")
    parser.add_argument("--minutes", type=float, default=60)
    parser.add_argument("--clients", type=int, default=20)
    parser.add_argument("--tcp-restart", type=float, default=60)
    parser.add_argument("--serial-restart", type=float, default=600)
    parser.add_argument("--sample", type=float, default=60)
    args = parser.parse_args()

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    simulators = []

    def start_simulators(work, env):
        env["QORMODBUS_COMDIR"] = os.path.join(work, "com")
        os.makedirs(env["QORMODBUS_COMDIR"])
        simulators.extend([Simulator(env, "--tcp", str(port)),
                           Simulator(env, "--com", "2", "--framer", "rtu")])
        for simulator in simulators:
            simulator.start()

    try:
        with server_on_private_bus(args.qormodbus, "soak", {"QORMODBUS_COMDIR": ""},
                                   before_server=start_simulators) as setup:
            return run(args, setup, port, *simulators)
    finally:
        for simulator in simulators:
            simulator.stop()


def run(args, setup, port, tcp, serial):
    address, server, workers, ok = setup.address, setup.server, [], True
    try:
        sites = [["DESCRIPTION=Soak TCP", "BP3=TRUE", f"SP3=127.0.0.1:{port}"],
                 ["DESCRIPTION=Soak RTU", "COMPORT=2", "BP2=TRUE"]]
        started = time.monotonic()
        deadline = started + args.minutes * 60
        results = multiprocessing.Queue()
        workers = [multiprocessing.Process(target=client,
                                           args=(address, sites[i % 2], deadline, results))
                   for i in range(args.clients)]
        for w in workers:
            w.start()
        samples = []
        next_sample = started
        # Each slave with how often it is restarted and when it was last.
        schedule = [["tcp", tcp, args.tcp_restart, started],
                    ["serial", serial, args.serial_restart, started]]
        restarts = collections.Counter()
        while time.monotonic() < deadline:
            now = time.monotonic()
            if server.poll() is not None:
                print(f"soak: the server ended (status {server.returncode})")
                ok = False
                break
            if now >= next_sample:
                samples.append((now - started, rss_kib(server.pid), open_fds(server.pid)))
                next_sample += args.sample
            for entry in schedule:
                name, simulator, period, last = entry
                if now >= last + period:
                    simulator.stop()
                    time.sleep(2)
                    simulator.start()
                    restarts[name] += 1
                    entry[3] = now
            time.sleep(0.5)
        totals = collections.Counter()
        for _ in workers:
            totals.update(results.get(timeout=300))
        for w in workers:
            w.join(30)
        alive = server.poll() is None
        if alive:
            samples.append((time.monotonic() - started, rss_kib(server.pid), open_fds(server.pid)))

        print(f"soak: {args.clients} clients, {args.minutes:g} min, Modbus/TCP slave restarted "
              f"{restarts['tcp']} times, serial slave (pty anew) {restarts['serial']} times")
        for key in sorted(totals):
            print(f"  {key:<32} {totals[key]}")
        print("  minute   RSS KiB   fds")
        for at, rss, count in samples:
            print(f"  {at / 60:6.1f} {rss:9d} {count:5d}")
        settled = [s for s in samples if s[0] >= args.minutes * 60 / 10] or samples
        if len(settled) >= 2:
            first, last = settled[0], settled[-1]
            print(f"  growth after the first tenth: RSS {100 * (last[1] - first[1]) / first[1]:+.1f} %,"
                  f" descriptors {last[2] - first[2]:+d}")
        problems = totals["stuck"] + totals["malformed"] + sum(
            v for k, v in totals.items() if k.startswith("bus error"))
        print(f"  server alive: {alive}; commands without a final state: {totals['stuck']}; "
              f"malformed replies: {totals['malformed']}")
        ok = ok and alive and problems == 0
    finally:
        for w in workers:
            if w.is_alive():
                w.kill()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

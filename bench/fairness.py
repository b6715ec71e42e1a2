#!/usr/bin/python3
"""Fairness under load: many host clients on a few shared Modbus/TCP sites (the device simulator,
pymodbus), each reading one point again and again the way hosts do: resend the command while the
driver answers "Waiting for driver...", then poll COMMANDSTATUS until it ends. Reports how long a
command took from its first send to its final answer (p50, p90, p99, max), how many completed, and
how many "Waiting for driver..." answers the clients got.

Usage: /usr/bin/python3 bench/fairness.py [--qormodbus build/qormodbus] [--clients 50]
                                          [--sites 5] [--seconds 60]
Figures only: nothing here passes or fails.
"""

import argparse
import multiprocessing
import os
import socket
import subprocess
import sys
import time

import dbus

from benchbus import DRIVER, FACTORY, NAME, server_on_private_bus
DEVSIM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "qmb-devsim.py")
FINAL = ("COMMANDSTATUS=TRUE", "COMMANDSTATUS=FALSE", "COMMANDSTATUS=LOCKED")
RESEND_S = 0.02


def client(address, site, seconds, start, results):
    connection = dbus.bus.BusConnection(address)

    def call(member, *items):
        return connection.call_blocking(NAME, path, DRIVER, member, "v",
                                        [dbus.Array(items, signature="s")], timeout=120)

    path = connection.call_blocking(NAME, FACTORY, "QorModBus.ClassFactory", "CreateInstance",
                                    "", [])
    call("SetDriverOption", "VERSIONCHECK=1.8")
    call("OpenSite", *site)
    while str(call("ExecuteCommand", "COMMAND=COMMANDSTATUS")[0]) not in FINAL:
        time.sleep(RESEND_S)
    start.wait()
    latencies, waits, failures = [], 0, 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        began = time.monotonic()
        command = ("COMMAND=POINTGETVALUE", "POINT={p}{HREG4}")
        reply = call("ExecuteCommand", *command)
        while str(reply[0]) == "COMMANDSTATUS=Waiting for driver...":
            waits += 1
            time.sleep(RESEND_S)
            reply = call("ExecuteCommand", *command)
        while str(reply[0]) not in FINAL:
            time.sleep(RESEND_S)
            reply = call("ExecuteCommand", "COMMAND=COMMANDSTATUS")
            if str(reply[0]) == "COMMANDSTATUS=Waiting for driver...":
                waits += 1
        latencies.append(time.monotonic() - began)
        failures += str(reply[0]) != "COMMANDSTATUS=TRUE"
    results.put((latencies, waits, failures))
    connection.close()


def percentile(sorted_values, fraction):
    if not sorted_values:
        return float("nan")
    return sorted_values[min(len(sorted_values) - 1, int(fraction * len(sorted_values)))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--qormodbus", default="build/qormodbus")
    parser.add_argument("--clients", type=int, default=50)
    parser.add_argument("--sites", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=60.0)
    args = parser.parse_args()

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    devsim = subprocess.Popen(["/usr/bin/python3", DEVSIM, "--tcp", str(port)],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        if "qmb-devsim ready" not in devsim.stdout.readline():
            sys.exit("fairness: the simulator did not start")
        with server_on_private_bus(args.qormodbus, "fairness") as setup:
            measure(args, setup.address, port)
    finally:
        devsim.terminate()
        devsim.wait(10)
        devsim.stdout.close()


def measure(args, address, port):
    start = multiprocessing.Event()
    results = multiprocessing.Queue()
    workers = [multiprocessing.Process(
        target=client,
        args=(address, [f"DESCRIPTION=Fair {i % args.sites}", "BP3=TRUE",
                        f"SP3=127.0.0.1:{port}"], args.seconds, start, results))
        for i in range(args.clients)]
    for w in workers:
        w.start()
    time.sleep(1 + 0.1 * args.clients)  # everybody attached and opened
    start.set()
    latencies, waits, failures = [], 0, 0
    for _ in workers:
        done, waited, failed = results.get(timeout=args.seconds + 600)
        latencies += done
        waits += waited
        failures += failed
    for w in workers:
        w.join(10)
    latencies.sort()
    print(f"fairness: {args.clients} clients on {args.sites} Modbus/TCP sites (pymodbus "
          f"simulator), {args.seconds:g} s, POINTGETVALUE back to back, resend/poll every "
          f"{RESEND_S * 1000:.0f} ms")
    print(f"  commands {len(latencies)} ({failures} failed), 'Waiting for driver...' "
          f"answers {waits}")
    print("  seconds per command: p50 {:.2f}  p90 {:.2f}  p99 {:.2f}  max {:.2f}  "
          "(p99/p50 {:.1f}x)".format(percentile(latencies, 0.5), percentile(latencies, 0.9),
                                    percentile(latencies, 0.99), latencies[-1],
                                    percentile(latencies, 0.99) / percentile(latencies, 0.5)))


if __name__ == "__main__":
    main()

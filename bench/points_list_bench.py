#!/usr/bin/python3
"""A large SENDPOINTSLIST over the bus, and what another host sees while the server takes it in.

One host sends point lists of 20,000, 40,000 and 100,000 points to an offline site, once through
ExecuteImmediate (one call) and once through ExecuteCommand (the command, then COMMANDSTATUS
until it ends); as a yardstick, it first sends the same list to a method driver objects do not
have, which the server refuses unread: what the bus and its library cost on their own. Meanwhile
a second host, in a process and on a bus connection of its own, asks COMMANDSTATUS of its own
site about every millisecond. For each send the bench prints the time until the host has its
answer, the server's CPU time over that span, and the second host's answer times over the same
span (count, 99th percentile, maximum): the longest time the bus left it waiting.

Usage: /usr/bin/python3 bench/points_list_bench.py [--qormodbus build/qormodbus]
                                                   [--sizes 20000,40000,100000] [--repeat 3]
Figures only: nothing here passes or fails.
"""

import argparse
import multiprocessing
import os
import statistics
import time

import dbus

from benchbus import DRIVER, FACTORY, NAME, cpu_seconds, server_on_private_bus

# A stalled server answers late, not never: wait as long as the slowest run may take.
CALL_TIMEOUT = 600.0


def strings(items):
    return dbus.Array(items, signature="s")


class Host:
    """A driver object on a site of its own, on the given connection."""

    def __init__(self, connection, description):
        self.connection = connection
        self.path = connection.call_blocking(NAME, FACTORY, "QorModBus.ClassFactory",
                                             "CreateInstance", "", [])
        assert self.call("SetDriverOption", ["VERSIONCHECK=1.8"])
        assert self.call("OpenSite", [f"DESCRIPTION={description}", "OFFLINE=TRUE"])
        self.status()  # collects the open's outcome, so the session is free

    def call(self, member, items):
        return self.connection.call_blocking(NAME, self.path, DRIVER, member, "v",
                                             [strings(items)], timeout=CALL_TIMEOUT)

    def status(self):
        return str(self.call("ExecuteCommand", ["COMMAND=COMMANDSTATUS"])[0])


def watcher(address, ready, stop, samples):
    """The second host: COMMANDSTATUS about every millisecond, each call's start and duration."""
    host = Host(dbus.bus.BusConnection(address), "Watcher")
    ready.set()
    times = []
    while not stop.is_set():
        start = time.monotonic()
        host.status()
        times.append((start, time.monotonic() - start))
        time.sleep(0.001)
    samples.send(times)


def point_list(count):
    # Distinct keys, as a host registering a large plant would send them.
    return ["COMMAND=SENDPOINTSLIST"] + [
        f"POINT{i}={{tag {i}}}{{{i // 60000 + 1}-HREG{i % 60000 + 1}}}" for i in range(count)]


def send_immediate(host, items):
    reply = host.call("ExecuteImmediate", items)
    return str(reply[0])


def send_command(host, items):
    reply = str(host.call("ExecuteCommand", items)[0])
    while reply.startswith("COMMANDSTATUS=") and reply[14:] not in ("TRUE", "FALSE", "LOCKED"):
        time.sleep(0.001)
        reply = host.status()
    return reply


def send_unread(host, items):
    # The yardstick: the same list to a method driver objects do not have, which the server
    # refuses without reading it. What the bus and its library cost on their own.
    try:
        host.call("NoSuchMethod", items)
    except dbus.exceptions.DBusException as e:
        return e.get_dbus_name().rsplit(".", 1)[-1]
    return "answered"


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))] if ordered else float("nan")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--qormodbus", default="build/qormodbus")
    parser.add_argument("--sizes", default="20000,40000,100000")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each size and way")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    with server_on_private_bus(args.qormodbus, "points_list_bench") as setup:
        report(args, sizes, setup.address, setup.server)


def report(args, sizes, address, server):
    other = None
    connection = dbus.bus.BusConnection(address)
    try:
        sender = Host(connection, "Plant")

        ready, stop = multiprocessing.Event(), multiprocessing.Event()
        receive, send = multiprocessing.Pipe(duplex=False)
        other = multiprocessing.Process(target=watcher, args=(address, ready, stop, send))
        other.start()
        ready.wait(30)
        time.sleep(0.5)

        ways = (("(refused unread)", send_unread), ("ExecuteImmediate", send_immediate),
                ("ExecuteCommand", send_command))
        spans = {}
        first_start = time.monotonic()
        for size in sizes:
            items = point_list(size)
            for _ in range(args.repeat):
                for way, send_list in ways:
                    cpu = cpu_seconds(server.pid)
                    start = time.monotonic()
                    outcome = send_list(sender, items)
                    end = time.monotonic()
                    spans.setdefault((size, way), []).append(
                        (outcome, start, end, cpu_seconds(server.pid) - cpu))
                    time.sleep(0.3)  # the other host's calls settle between runs
        stop.set()
        samples = receive.recv()
        other.join(30)

        print(f"points_list_bench: {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f}, "
              f"python3-dbus hosts; the other host asks COMMANDSTATUS about every ms; "
              f"{args.repeat} runs each (medians; the other host's p99 and max over all runs)")
        print(f"{'points':>7}  {'way':<16}  {'answer':<18}  {'host waited':>11}  "
              f"{'server CPU':>10}  {'other calls':>11}  {'other p99':>9}  {'other max':>9}")
        for (size, way), runs in spans.items():
            # Every call of the other host that overlapped one of the runs.
            during = [d for s, d in samples
                      if any(s < end and s + d > start for _, start, end, _ in runs)]
            outcomes = "/".join(sorted({outcome for outcome, _, _, _ in runs}))
            waited = statistics.median(end - start for _, start, end, _ in runs)
            cpu = statistics.median(cpu for _, _, _, cpu in runs)
            print(f"{size:>7}  {way:<16}  {outcomes:<18}  {waited * 1e3:>8.0f} ms  "
                  f"{cpu * 1e3:>7.0f} ms  {len(during):>11}  "
                  f"{percentile(during, 0.99) * 1e3:>6.1f} ms  "
                  f"{max(during, default=float('nan')) * 1e3:>6.1f} ms")
        idle = [d for s, d in samples if s < first_start - 0.05]
        print(f"the other host idle before the first send: {len(idle)} calls, p99 "
              f"{percentile(idle, 0.99) * 1e3:.1f} ms, max "
              f"{max(idle, default=float('nan')) * 1e3:.1f} ms")
        connection.close()
    finally:
        if other and other.is_alive():
            other.terminate()
            other.join(10)


if __name__ == "__main__":
    main()

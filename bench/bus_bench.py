#!/usr/bin/python3
"""Bus figures of the driver's server, measured against a private dbus-daemon:

  * round trips per second of ExecuteCommand(COMMAND=COMMANDSTATUS) with 1 and with 20 host
    clients (each its own process and bus connection, all calling back to back), beside the bus
    daemon's own org.freedesktop.DBus.Peer.Ping and a Peer.Ping to the server (the same two hops
    as our calls, answered by the bus library without our code: the floor of a status call), in
    the same run;
  * the server's resident memory idle and with 100 open Modbus/TCP sites (one driver object
    each).

Per call, the server's CPU and its context switches (all its threads) while the status calls run.
Given --qormodbus more than once (two builds, say), each server is measured on a bus of its own in
the same run, one after the other.

Usage: /usr/bin/python3 bench/bus_bench.py [--qormodbus build/qormodbus ...] [--seconds 3]
Figures only: nothing here passes or fails.
"""

import argparse
import multiprocessing
import os
import time

import dbus

from benchbus import DRIVER, FACTORY, NAME, cpu_seconds, rss_kib, server_on_private_bus


def context_switches(pid):
    """Voluntary and involuntary switches of every thread of the process so far."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/status") as f:
                total += sum(int(line.split()[1]) for line in f if "ctxt_switches" in line)
        except FileNotFoundError:
            pass  # a thread that ended meanwhile
    return total


def new_driver(connection, site):
    path = connection.call_blocking(NAME, FACTORY, "QorModBus.ClassFactory", "CreateInstance",
                                    "", [])
    assert connection.call_blocking(NAME, path, DRIVER, "SetDriverOption", "v",
                                    [dbus.Array(["VERSIONCHECK=1.8"], signature="s")])
    assert connection.call_blocking(NAME, path, DRIVER, "OpenSite", "v",
                                    [dbus.Array(site, signature="s")])
    # Collect the open's outcome so that the status calls below find the session free.
    connection.call_blocking(NAME, path, DRIVER, "ExecuteCommand", "v",
                             [dbus.Array(["COMMAND=COMMANDSTATUS"], signature="s")])
    return path


def client(address, kind, index, seconds, start, results):
    connection = dbus.bus.BusConnection(address)
    if kind == "status":
        path = new_driver(connection, [f"DESCRIPTION=Bench {index}", "OFFLINE=TRUE"])
        call = (NAME, path, DRIVER, "ExecuteCommand", "v",
                [dbus.Array(["COMMAND=COMMANDSTATUS"], signature="s")])
    elif kind == "ping-daemon":
        call = ("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Peer",
                "Ping", "", [])
    else:
        call = (NAME, FACTORY, "org.freedesktop.DBus.Peer", "Ping", "", [])
    for _ in range(50):  # warm up
        connection.call_blocking(*call)
    start.wait()
    count, end = 0, time.monotonic() + seconds
    cpu = time.process_time()
    while time.monotonic() < end:
        connection.call_blocking(*call)
        count += 1
    results.put((count, time.process_time() - cpu))
    connection.close()


def measure(address, kind, clients, seconds):
    """Calls per second, all clients together, and a client's own CPU per call."""
    start = multiprocessing.Event()
    results = multiprocessing.Queue()
    workers = [multiprocessing.Process(target=client,
                                       args=(address, kind, i, seconds, start, results))
               for i in range(clients)]
    for w in workers:
        w.start()
    time.sleep(0.5 + 0.05 * clients)  # everybody connected and warmed up
    start.set()
    outcomes = [results.get(timeout=seconds + 60) for _ in workers]
    for w in workers:
        w.join(10)
    total = sum(count for count, _ in outcomes)
    return total / seconds, sum(cpu for _, cpu in outcomes) / max(total, 1) * 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--qormodbus", action="append",
                        help="a server program to measure (default build/qormodbus)")
    parser.add_argument("--seconds", type=float, default=3.0)
    args = parser.parse_args()

    print(f"bus_bench: {os.cpu_count()} CPUs, {args.seconds:g} s per figure, "
          f"python3-dbus clients, one process per client")
    for program in args.qormodbus or ["build/qormodbus"]:
        print(f"--- {program}")
        with server_on_private_bus(program, "bus_bench") as setup:
            report(args, setup.address, setup.server)


def report(args, address, server):
    probe = dbus.bus.BusConnection(address)
    print(f"{'clients':>7}  {'daemon Ping/s':>14}  {'server Ping/s':>14}  "
          f"{'COMMANDSTATUS/s':>16}  {'vs server Ping':>15}  {'vs daemon Ping':>15}  "
          f"{'server CPU/call':>16}  "
          f"{'switches/call':>13}")
    costs = []
    for clients in (1, 20):
        ping, _ = measure(address, "ping-daemon", clients, args.seconds)
        cpu = cpu_seconds(server.pid)
        server_ping, ping_client = measure(address, "ping-server", clients, args.seconds)
        ping_server = (cpu_seconds(server.pid) - cpu) / (server_ping * args.seconds) * 1e6
        cpu, switches = cpu_seconds(server.pid), context_switches(server.pid)
        status, status_client = measure(address, "status", clients, args.seconds)
        # Includes the driver objects' creation and the server's 100 ms timers: an upper bound.
        calls = status * args.seconds
        per_call = (cpu_seconds(server.pid) - cpu) / calls * 1e6
        switches_per_call = (context_switches(server.pid) - switches) / calls
        print(f"{clients:>7}  {ping:>14.0f}  {server_ping:>14.0f}  {status:>16.0f}  "
              f"{server_ping / status:>14.2f}x  {ping / status:>14.2f}x  {per_call:>13.1f} us  "
              f"{switches_per_call:>13.2f}")
        costs.append((clients, ping_server, per_call, ping_client, status_client))
    # Where a status call's time goes beyond the server's own Ping: the server's handling, or the
    # client's (a Python client builds the argument array and decodes the reply's variants).
    for clients, ping_server, per_call, ping_client, status_client in costs:
        print(f"{clients:>7} clients: CPU per call, server Ping {ping_server:.1f} us, "
              f"COMMANDSTATUS {per_call:.1f} us on the server; a client's own "
              f"{ping_client:.1f} us a Ping, {status_client:.1f} us a COMMANDSTATUS")

    idle = rss_kib(server.pid)
    paths = [new_driver(probe, [f"DESCRIPTION=TCP site {i}", "BP3=TRUE", "SP3=127.0.0.1"])
             for i in range(100)]
    time.sleep(2)
    loaded = rss_kib(server.pid)
    print(f"server RSS: {idle} KiB idle, {loaded} KiB with {len(paths)} open Modbus/TCP "
          f"sites ({(loaded - idle) / len(paths):.1f} KiB per site)")
    probe.close()


if __name__ == "__main__":
    main()

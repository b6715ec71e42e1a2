#!/usr/bin/python3
"""Typed interface figures, measured over a private dbus-daemon against the device simulator
(pymodbus), all in one run:

  * the median time of one point's Read on an idle Modbus/TCP site and on an RTU site at 38400
    baud on a pseudo-terminal, beside the design interface's POINTGETVALUE on the same sites
    (ExecuteCommand, then COMMANDSTATUS every 50 ms until it ends, as its hosts do);
  * one subscriber following 500 holding registers of a Modbus/TCP device whose registers all
    change at every read: the changes it receives per second, and the server's CPU per
    delivered change. bench/signal_bench.cpp sets the cost of the signals alone against one
    PropertiesChanged signal per value.

Usage: /usr/bin/python3 bench/typed_bench.py [--qormodbus build/qormodbus] [--reads 200]
       [--seconds 10]
Figures only: nothing here passes or fails.
"""

import argparse
import asyncio
import os
import re
import statistics
import subprocess
import sys
import threading
import time

import dbus
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

from benchbus import DRIVER, FACTORY, NAME, cpu_seconds, server_on_private_bus

HERE = os.path.dirname(os.path.abspath(__file__))
DEVSIM = os.path.join(HERE, "..", "tools", "qmb-devsim.py")
MANAGER, SITE = "QorModBus.Modbus1.Manager", "QorModBus.Modbus1.Site"
SUBSCRIPTION = "QorModBus.Modbus1.Subscription"
POINTS = 500


def simulator(env, *args):
    process = subprocess.Popen(["/usr/bin/python3", DEVSIM, *args], env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    ready = process.stdout.readline()
    if "qmb-devsim ready" not in ready:
        sys.exit("typed_bench: the simulator did not start")
    return process, ready


def changing_device():
    """A Modbus/TCP slave (pymodbus, in a thread) whose registers all change at every read; its
    port."""
    from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                    ModbusSlaveContext)
    from pymodbus.server import StartAsyncTcpServer
    import logging
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL)

    class Moving(ModbusSequentialDataBlock):
        reads = 0

        def getValues(self, address, count=1):  # noqa: N802 (pymodbus' name)
            Moving.reads += 1
            return [(Moving.reads + i) & 0xFFFF for i in range(count)]

    context = ModbusServerContext(
        slaves=ModbusSlaveContext(hr=Moving(0, [0] * (POINTS + 10))), single=True)
    port = []

    # pymodbus 3.0 takes the port it is given: find a free one first.
    import socket
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port.append(probe.getsockname()[1])

    def run():
        async def main():
            await StartAsyncTcpServer(context=context, address=("127.0.0.1", port[0]))
        asyncio.run(main())

    threading.Thread(target=run, daemon=True).start()
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        with socket.socket() as probe:
            if probe.connect_ex(("127.0.0.1", port[0])) == 0:
                return port[0]
        time.sleep(0.05)
    sys.exit("typed_bench: the changing device did not start")


def median_ms(samples):
    return statistics.median(samples) * 1000


def typed_reads(bus, options, point, count):
    manager = bus.get_object(NAME, "/QorModBus/Modbus1")
    site = dbus.Interface(bus.get_object(NAME, manager.OpenSite(options, dbus_interface=MANAGER,
                                                                timeout=30)), SITE)
    for _ in range(10):
        site.Read([point], 0)
    times = []
    for _ in range(count):
        start = time.monotonic()
        value = site.Read([point], 0)
        times.append(time.monotonic() - start)
    assert value[0][2] == 192, value
    site.Close()
    return times


def design_reads(bus, keys, point, count):
    path = bus.call_blocking(NAME, FACTORY, "QorModBus.ClassFactory", "CreateInstance", "", [])

    def call(member, *items):
        return bus.call_blocking(NAME, path, DRIVER, member, "v",
                                 [dbus.Array(items, signature="s")])

    def run(*command):
        reply = call("ExecuteCommand", *command)
        while reply[0] not in ("COMMANDSTATUS=TRUE", "COMMANDSTATUS=FALSE"):
            time.sleep(0.05)
            again = reply[0] == "COMMANDSTATUS=Waiting for driver..."
            reply = call("ExecuteCommand", *(command if again else ["COMMAND=COMMANDSTATUS"]))
        return reply

    call("SetDriverOption", "VERSIONCHECK=1.8")
    call("OpenSite", *keys)
    run("COMMAND=COMMANDSTATUS")
    times = []
    for _ in range(count):
        start = time.monotonic()
        reply = run("COMMAND=POINTGETVALUE", "POINT={p}{" + point + "}")
        times.append(time.monotonic() - start)
    assert reply[0] == "COMMANDSTATUS=TRUE", reply
    bus.call_blocking(NAME, path, "QorModBus.IQorModBusCom", "Release", "", [])
    return times


def subscriber(address, server, port, seconds):
    bus = dbus.bus.BusConnection(address, mainloop=DBusGMainLoop())
    manager = bus.get_object(NAME, "/QorModBus/Modbus1")
    site = bus.get_object(NAME, manager.OpenSite(
        {"Description": "Moving", "Transport": "tcp", "Host": "127.0.0.1",
         "Port": dbus.UInt16(port), "Poll": "fast"}, dbus_interface=MANAGER))
    received = {"signals": 0, "changes": 0, "bad": 0}

    def changed(values):
        received["signals"] += 1
        received["changes"] += len(values)
        received["bad"] += sum(1 for v in values if v[3] != 192)

    bus.add_signal_receiver(changed, signal_name="Changed", dbus_interface=SUBSCRIPTION)
    points = [f"HREG{n}" for n in range(1, POINTS + 1)]
    site.Subscribe(points, {"IntervalMs": dbus.UInt32(100)}, dbus_interface=SITE)
    context = GLib.MainContext.default()
    end = time.monotonic() + 1
    while time.monotonic() < end:  # the first signal (every point) and a settled pace
        context.iteration(False) or time.sleep(0.002)
    before = dict(received)
    cpu, start = cpu_seconds(server.pid), time.monotonic()
    while time.monotonic() < start + seconds:
        context.iteration(False) or time.sleep(0.002)
    elapsed, cpu = time.monotonic() - start, cpu_seconds(server.pid) - cpu
    changes = received["changes"] - before["changes"]
    signals = received["signals"] - before["signals"]
    bus.close()
    return changes / elapsed, signals / elapsed, cpu / max(changes, 1) * 1e6, received["bad"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--qormodbus", default="build/qormodbus")
    parser.add_argument("--reads", type=int, default=200)
    parser.add_argument("--seconds", type=float, default=10.0)
    args = parser.parse_args()

    simulators = []

    def before_server(work, env):
        env["QORMODBUS_COMDIR"] = os.path.join(work, "com")
        os.makedirs(env["QORMODBUS_COMDIR"])
        tcp, ready = simulator(env, "--tcp", "0")
        simulators.append(tcp)
        simulators.append(simulator(env, "--com", "4", "--framer", "rtu")[0])
        simulators.append(int(re.search(r"tcp=127\.0\.0\.1:(\d+)", ready).group(1)))

    print(f"typed_bench: {os.cpu_count()} CPUs, load {os.getloadavg()[0]:.2f}, "
          f"{args.reads} reads per figure, python3-dbus host")
    try:
        with server_on_private_bus(args.qormodbus, "typed_bench",
                                   before_server=before_server) as setup:
            port = simulators[2]
            bus = dbus.bus.BusConnection(setup.address)
            rows = [
                ("Modbus/TCP", {"Description": "TCP", "Transport": "tcp", "Host": "127.0.0.1",
                                "Port": dbus.UInt16(port)},
                 ["DESCRIPTION=TCP", "BP3=TRUE", f"SP3=127.0.0.1:{port}"], "HREG4"),
                ("RTU 38400", {"Description": "RTU", "Transport": "rtu", "ComPort": dbus.UInt32(4),
                               "Baud": dbus.UInt32(38400)},
                 ["DESCRIPTION=RTU", "COMPORT=4", "BAUDRATE=38400", "BP2=TRUE"], "1-HREG4"),
            ]
            print("one point read, median (p90) ms:   typed Read    design POINTGETVALUE")
            for name, options, keys, point in rows:
                typed = typed_reads(bus, options, point, args.reads)
                design = design_reads(bus, keys, point, max(20, args.reads // 10))
                p90 = lambda t: sorted(t)[int(len(t) * 0.9)] * 1000  # noqa: E731
                print(f"  {name:<12} {median_ms(typed):>20.2f} ({p90(typed):.2f})"
                      f" {median_ms(design):>14.1f} ({p90(design):.1f})")
            bus.close()
            device = changing_device()
            rate, signals, micros, bad = subscriber(setup.address, setup.server, device,
                                                    args.seconds)
            print(f"one subscriber, {POINTS} registers that change at every read (fast poll, "
                  f"IntervalMs 100):")
            print(f"  {rate:,.0f} changes/s in {signals:.1f} signals/s; server CPU "
                  f"{micros:.2f} us per delivered change; {bad} bad values")
    finally:
        for process in simulators:
            if isinstance(process, subprocess.Popen):
                process.terminate()
                process.wait(10)


if __name__ == "__main__":
    main()

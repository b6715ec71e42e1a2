#!/usr/bin/python3
"""The typed interface over the bus, against the device simulator (pymodbus): sites opened from
named options, reads and writes answered once with values typed by their address, the access
rule, locks, and a design host sharing the site."""

import os
import re
import sys
import time
import unittest

import dbus
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bushost import TYPED_PATH, TYPED_SITE, Host, TypedHost, wait_until  # noqa: E402
from live_values_test import SimulatorCase  # noqa: E402

ERROR = "QorModBus.Modbus1.Error."
INVALID = "org.freedesktop.DBus.Error.InvalidArgs"


class TypedInterfaceTest(SimulatorCase):
    def typed(self):
        return TypedHost(self.box.connect())

    def assertFails(self, name, text, call, *args):
        with self.assertRaises(dbus.DBusException) as caught:
            call(*args)
        self.assertEqual(caught.exception.get_dbus_name(), name)
        self.assertIn(text, caught.exception.get_dbus_message())

    def test_values_are_read_and_written_by_their_type(self):
        port = self.tcp_simulator()
        host = self.typed()
        site = host.open(Description="Meter", Transport="tcp", Host="127.0.0.1",
                         Port=dbus.UInt16(port))
        self.assertRegex(site, r"^/QorModBus/Modbus1/site/\d+$")
        self.assertEqual([str(host.property(site, p)) for p in ("Transport", "Endpoint", "State")],
                         ["tcp", f"127.0.0.1:{port}", "online"])
        rows = [  # address, value written, its bus type
            ("HREG20", dbus.UInt16(4321), dbus.UInt16),
            ("HREG21,0,16,INT", dbus.Int16(-2), dbus.Int16),
            ("HREG22,0,32,FLOAT,CDAB", dbus.Double(-3.25), dbus.Double),
            ("HREG24,0,64,DOUBLE", dbus.Double(0.1), dbus.Double),
            ("HREG28,0,32,DINT", dbus.Int32(-123456), dbus.Int32),
            ("HREG30,0,64,LWORD", dbus.UInt64(2**64 - 1), dbus.UInt64),
            ("HREG34,0,64,LINT,DCBA", dbus.Int64(-2**63), dbus.Int64),
            ("HREG38,0,32,DWORD", dbus.UInt32(4000000000), dbus.UInt32),
            ("HREG40,0,64,STRING", dbus.String("Pump 1"), dbus.String),
            ("OUT7", dbus.Boolean(True), dbus.Boolean),
        ]
        host.write(site, dbus.Array([(a, v) for a, v, _ in rows], signature="(sv)"))
        readings = host.read(site, [a for a, _, _ in rows])
        for (address, written, kind), (value, when, quality, error) in zip(rows, readings):
            with self.subTest(address=address):
                self.assertEqual((type(value), value, quality, error), (kind, written, 192, ""))
                self.assertGreater(when, 1_700_000_000_000_000)
        # Bits and bytes inside a register are read by type; a device's refusal is per point.
        values = host.read(site, ["HREG4", "HREG4,8,8,BYTE", "HREG4,0,1,BOOL", "IN2", "HREG300"])
        self.assertEqual([(type(v), v) for v, _, _, _ in values[:4]],
                         [(dbus.UInt16, 1111), (dbus.Byte, 4), (dbus.Boolean, True),
                          (dbus.Boolean, True)])
        self.assertEqual(values[4][2:], (0, "unit 255 answered with exception 2 (Illegal Data "
                                            "Address)"))
        # A value read a moment ago is given again when the host accepts its age.
        first = host.read(site, ["HREG3"], 0)[0]
        self.assertEqual(host.read(site, ["HREG3"], 60000)[0], first)

    def test_bad_input_is_refused_before_anything_is_sent(self):
        port = self.tcp_simulator()
        host = self.typed()
        tcp = dict(Transport="tcp", Host="127.0.0.1", Port=dbus.UInt16(port))
        for options, text in [
                (dict(Transport="tcp"), "option Description is needed"),
                (dict(Description="X", Speed=dbus.UInt32(1)), 'unknown option "Speed"'),
                (dict(Description="X", Port="502", Transport="tcp", Host="h"),
                 "option Port is a q (uint16), not a s (string)"),
                (dict(Description="X", Transport="udp"), 'option Transport "udp" is tcp, rtu'),
                (dict(Description="X", Transport="rtu"), "option ComPort (1 to 255) is needed"),
                (dict(Description="X", Transport="rtu", ComPort=dbus.UInt32(1),
                      Parity="mark"), 'option Parity "mark" is none, odd or even'),
                (dict(Description="New"), "option Transport is needed to open a new site")]:
            with self.subTest(options=options):
                self.assertFails(INVALID, text, host.open, options)
        site = host.open(Description="Meter", **tcp)
        host.write(site, [("HREG50", dbus.UInt16(9))])
        for call, args, text in [
                (host.read, (["HREG"],), 'point "HREG": no point number'),
                (host.read, (["HREG1,0,16,FLOAT"],), "a FLOAT's Count is 32 bits, not 16"),
                (host.write, ([("HREG50", dbus.UInt16(1)), ("IREG1", dbus.UInt16(1))],),
                 'point "IREG1" is an input'),
                (host.write, ([("HREG50", dbus.UInt16(1)), ("HREG51", dbus.Int32(70000))],),
                 'point "HREG51" takes 0 to 65535, not 70000'),
                (host.write, ([("HREG50", dbus.UInt16(1)), ("HREG52,0,32,FLOAT", "x")],),
                 'takes a d (double), not a s (string)')]:
            with self.subTest(args=args):
                self.assertFails(INVALID, text, call, site, *args)
        # Not even the first value of a refused list was written.
        self.assertEqual(host.read(site, ["HREG50"])[0][0], 9)

    def test_only_holders_call_a_site_and_a_lock_or_block_stops_them(self):
        port = self.tcp_simulator()
        owner, stranger = self.typed(), self.typed()
        site = owner.open(Description="Pump", Transport="tcp", Host="127.0.0.1",
                          Port=dbus.UInt16(port))
        self.assertFails(ERROR + "AccessDenied", "was not opened by this client",
                         stranger.read, site, ["HREG4"])
        # A design host on the same description shares the site, its lock and its count.
        design = Host(self.box.connect())
        design.open_site("DESCRIPTION=pump", "BP3=TRUE", f"SP3=127.0.0.1:{port}")
        self.assertTrue(wait_until(lambda: owner.property(site, "Clients") == 2))
        design.execute("COMMAND=GETDATA", "DRIVERCOMMAND=LOCKCLIENT", "LOCKCOMMENT=Tuning")
        self.assertEqual(design.until_done()[0], "COMMANDSTATUS=TRUE")
        self.assertFails(ERROR + "Locked", "Tuning", owner.read, site, ["HREG4"])
        design.execute("COMMAND=GETDATA", "DRIVERCOMMAND=UNLOCKCLIENT")
        design.until_done()
        self.assertEqual(owner.read(site, ["HREG4"])[0][0], 1111)
        # Leaving the bus lets go; the last holder's leaving removes the site object.
        self.assertIn(site, owner.call(TYPED_PATH, "org.freedesktop.DBus.ObjectManager",
                                       "GetManagedObjects"))
        design.release()
        owner.call(site, "QorModBus.Modbus1.Site", "Close")
        self.assertFails("org.freedesktop.DBus.Error.UnknownObject", "",
                         owner.read, site, ["HREG4"])
        self.assertNotIn(site, stranger.call(TYPED_PATH, "org.freedesktop.DBus.ObjectManager",
                                             "GetManagedObjects"))
        # A client that leaves the bus lets go of its sites without a word.
        leaver = TypedHost(self.box.connect())
        gone = leaver.open(Description="Pump", Transport="tcp", Host="127.0.0.1",
                           Port=dbus.UInt16(port))
        leaver.connection.close()
        self.assertTrue(wait_until(lambda: gone not in stranger.call(
            TYPED_PATH, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects")))

    def listener(self):
        """A typed host whose connection dispatches signals; what its Changed signals carried."""
        host = TypedHost(dbus.bus.BusConnection(self.box.address, mainloop=DBusGMainLoop()))
        self.addCleanup(host.connection.close)
        host.changes = []
        host.connection.add_signal_receiver(
            lambda values, path: host.changes.append(
                (str(path), {int(i): (v, int(q)) for i, v, _, q, _ in values})),
            signal_name="Changed", dbus_interface="QorModBus.Modbus1.Subscription",
            path_keyword="path")
        return host

    def pump(self, seconds):
        context, deadline = GLib.MainContext.default(), time.monotonic() + seconds
        while time.monotonic() < deadline:
            if not context.iteration(False):
                time.sleep(0.01)

    def test_a_subscriber_alone_hears_what_changed(self):
        port = self.tcp_simulator()
        host, stranger = self.listener(), self.listener()
        tcp = dict(Description="Meter", Transport="tcp", Host="127.0.0.1", Port=dbus.UInt16(port))
        site = host.open(**tcp)
        stranger.open(**tcp)
        points = ["HREG3", "HREG4", "OUT9", "HREG60,0,32,FLOAT"]
        host.write(site, [("OUT9", False), ("HREG60,0,32,FLOAT", dbus.Double(1.0))])
        subscribe = lambda options: str(host.call(site, TYPED_SITE, "Subscribe", "asa{sv}",  # noqa
                                                  points, options))
        followed = subscribe({"IntervalMs": dbus.UInt32(200)})
        banded = subscribe({"IntervalMs": dbus.UInt32(200), "Deadband": dbus.Double(5.0)})
        self.pump(1.2)
        host.write(site, [("OUT9", True), ("HREG60,0,32,FLOAT", dbus.Double(3.0))])
        self.pump(0.6)
        signals = {path: [c for p, c in host.changes if p == path] for path in (followed, banded)}
        for path in (followed, banded):
            # The first carries every point, later ones only what changed: the ramp, the writes.
            self.assertEqual(sorted(signals[path][0]), [0, 1, 2, 3], path)
            self.assertEqual(signals[path][0][1], (1111, 192))
            self.assertTrue(all(1 not in c for c in signals[path][1:]), signals[path])
            self.assertIn((True, 192), [c.get(2) for c in signals[path]])
        self.assertIn((3.0, 192), [c.get(3) for c in signals[followed]])
        # A float that moved by less than the deadband is not reported.
        self.assertNotIn((3.0, 192), [c.get(3) for c in signals[banded]])
        self.assertEqual(stranger.changes, [])
        # Closed, a subscription falls silent; another client cannot close one.
        self.assertRaises(dbus.DBusException, stranger.call, followed,
                          "QorModBus.Modbus1.Subscription", "Close")
        host.call(followed, "QorModBus.Modbus1.Subscription", "Close")
        self.pump(0.3)
        count = len(host.changes)
        self.pump(0.6)
        later = [p for p, _ in host.changes[count:]]
        self.assertNotIn(followed, later)
        self.assertIn(banded, later)
        # The site's state follows as PropertiesChanged: a design host joining counts.
        changed = []
        host.connection.add_signal_receiver(
            lambda interface, values, invalidated: changed.append((dict(values), invalidated)),
            signal_name="PropertiesChanged", dbus_interface="org.freedesktop.DBus.Properties",
            path=site)
        design = Host(self.box.connect())
        design.open_site("DESCRIPTION=Meter", "BP3=TRUE", f"SP3=127.0.0.1:{port}")
        self.pump(0.8)
        self.assertIn(3, [values.get("Clients") for values, _ in changed], changed)
        self.assertIn("Counters", [name for _, names in changed for name in names], changed)
        counters = host.property(site, "Counters")
        self.assertGreater(counters["requests"], 10)
        self.assertEqual(counters["requests"], counters["replies"] + counters["timeouts"] +
                         counters["checksum errors"])

    def test_rtu_frames_over_tcp_and_units_by_the_points_prefix(self):
        host = self.typed()
        rows = [  # simulator's framing over TCP, Transport, the unit it alone answers
            ("socket", "tcp", 17),
            ("rtu", "rtu-tcp", 17),
        ]
        for framer, transport, unit in rows:
            with self.subTest(transport=transport):
                ready = self.simulator("--tcp", "0", "--tcp-framer", framer, "--unit",
                                       str(unit)).ready
                port = int(re.search(r"tcp=127\.0\.0\.1:(\d+)", ready).group(1))
                site = host.open(Description=transport, Transport=transport, Host="127.0.0.1",
                                 Port=dbus.UInt16(port), TimeoutMs=dbus.UInt32(300))
                self.assertEqual(str(host.property(site, "Transport")), transport)
                host.write(site, [(f"{unit}-HREG70,0,32,FLOAT", dbus.Double(-0.5))])
                readings = host.read(site, [f"{unit}-HREG4", f"{unit}-HREG70,0,32,FLOAT",
                                            "HREG4"])
                self.assertEqual([(v, q) for v, _, q, _ in readings[:2]],
                                 [(1111, 192), (-0.5, 192)])
                # Without a prefix the request goes to unit FF, which this device does not
                # answer.
                self.assertEqual(readings[2][2], 0)
        self.assertFails(INVALID, "TIMEOUT", host.open, dict(
            Description="Slow", Transport="tcp", Host="127.0.0.1", TimeoutMs=dbus.UInt32(5)))

    def test_a_serial_rtu_site(self):
        self.simulator("--com", "3", "--framer", "rtu")
        host = self.typed()
        site = host.open(Description="Line", Transport="rtu", ComPort=dbus.UInt32(3),
                         Baud=dbus.UInt32(38400), StopBits=dbus.Byte(1))
        self.assertEqual(str(host.property(site, "Transport")), "rtu")
        host.write(site, [("1-HREG60,0,32,FLOAT", dbus.Double(2.5))])
        self.assertEqual([v for v, *_ in host.read(site, ["1-HREG4", "1-HREG60,0,32,FLOAT"])],
                         [1111, 2.5])


if __name__ == "__main__":
    unittest.main()

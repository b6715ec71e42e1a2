#!/usr/bin/python3
"""The driver's bus server driven by outside hosts: registration and activation, the reply
layouts, malformed calls, access by other clients, object lifetime (release, last release, a
killed host) and many concurrent hosts on one site. Each test has a private dbus-daemon."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import unittest
import xml.etree.ElementTree as ET

import dbus

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bushost import (DRIVER, FACTORY, FACTORY_INTERFACE, NAME, OBJECT, QORMODBUS,  # noqa: E402
                     TYPED_MANAGER, TYPED_PATH, TYPED_SITE, Host, ModbusTcpDevice, Sandbox,
                     TypedHost, as_list, pid_alive, wait_until)

ANNOTATION = "QorModBus."


def interface_shapes(node):
    """The driver's interfaces of an introspection document: each member's kind, name and
    arguments (name, type, direction; a method's arguments are "in" unless said otherwise)."""
    shapes = {}
    for interface in node.findall("interface"):
        name = interface.get("name")
        if name.startswith("org.freedesktop.DBus."):
            continue
        shapes[name] = [(member.tag, member.get("name"),
                         [(arg.get("name"), arg.get("type"),
                           arg.get("direction", "in") if member.tag == "method" else None)
                          for arg in member.findall("arg")] +
                         ([(member.get("type"), member.get("access"))]
                          if member.tag == "property" else []))
                        for member in interface if member.tag in ("method", "signal", "property")]
    return shapes


class BusTestCase(unittest.TestCase):
    def setUp(self):
        self.assertTrue(QORMODBUS and os.access(QORMODBUS, os.X_OK), "QORMODBUS is not set")
        self.box = Sandbox()
        self.addCleanup(self.box.close)

    def dbus_error(self, call):
        with self.assertRaises(dbus.DBusException) as caught:
            call()
        return caught.exception.get_dbus_name(), caught.exception.get_dbus_message()

    def busctl(self, *args):
        return self.box.run(["busctl", f"--address={self.box.address}", *args], timeout=20)

    def standalone(self):
        """A server started by hand on the private bus (no switch); waits until it serves."""
        process = self.box.start([QORMODBUS, "--bus", self.box.address],
                                 stderr=subprocess.DEVNULL)
        self.assertTrue(wait_until(lambda: self.box.server_pid() == process.pid, 10))
        return process


class RegistrationTest(BusTestCase):
    def files(self):
        base = os.path.join(self.box.data, "dbus-1")
        return (os.path.join(base, "services", NAME + ".service"),
                os.path.join(base, "interfaces", NAME + ".xml"))

    def test_register_describes_the_server_and_activation_starts_it(self):
        result = self.box.run([QORMODBUS, "/regserver"], env={**self.box.env, "DBUS_SESSION_BUS_ADDRESS": ""})
        self.assertEqual(result.returncode, 0, result.stderr)
        service, interfaces = self.files()
        with open(service) as f:
            text = f.read()
        self.assertIn("[D-BUS Service]\nName=QorModBus.QorModBusCom\n", text)
        self.assertIn(f"Exec={os.path.realpath(QORMODBUS)} -Embedding\n", text)

        # The installed description is the type library: interfaces, methods, identifiers.
        root = ET.parse(interfaces).getroot()
        ifaces = {i.get("name"): i for i in root.findall("interface")}
        self.assertEqual(set(ifaces), {FACTORY_INTERFACE, DRIVER, OBJECT,
                                       "QorModBus.IQorModBusDiagnostics",
                                       "QorModBus.IQorModBusTrace", TYPED_MANAGER, TYPED_SITE,
                                       "QorModBus.Modbus1.Subscription"})
        self.assertEqual([s.get("name") for s in ifaces["QorModBus.IQorModBusTrace"].iter("arg")],
                         ["on", "all_sites", "site", "direction", "hex", "monotonic_us", "sites"])
        methods = [m.get("name") for m in ifaces[DRIVER].findall("method")]
        self.assertEqual(methods, ["OpenSite", "CloseSite", "SetDriverOption", "ExecuteCommand",
                                   "ExecuteImmediate"])
        notes = {a.get("name")[len(ANNOTATION):]: a.get("value")
                 for i in ifaces.values() for a in i.findall("annotation")}
        self.assertEqual(notes["ClassId"], "{50E245AB-DF62-4EF8-8836-4099061B67FF}")
        self.assertEqual(notes["TypeLibraryId"], "{9C0B2C8B-460D-4557-B7BC-CA64908FFF16}")
        self.assertEqual(notes["TypeLibraryVersion"], "1.0")
        self.assertEqual(notes["ProgId"], "QorModBus.QorModBusCom")

        # busctl as the host: its first call starts the server (automation mode).
        created = self.busctl("call", NAME, FACTORY, FACTORY_INTERFACE, "CreateInstance")
        self.assertEqual(created.returncode, 0, created.stderr)
        self.assertRegex(created.stdout, r'^o "/QorModBus/QorModBusCom/\d+"')
        introspected = self.busctl("introspect", NAME, FACTORY)
        self.assertIn(".CreateInstance", introspected.stdout)
        pid = self.box.server_pid()
        self.assertIsNotNone(pid)
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            self.assertEqual(f.read().split(b"\0")[1], b"-Embedding")

        # Unregister removes both files and touches no bus.
        result = self.box.run([QORMODBUS, "/UNREGSERVER"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertFalse(any(os.path.exists(p) for p in self.files()))

    def test_a_live_server_shows_the_installed_interfaces_and_every_object(self):
        """What hosts see by introspecting a live server, built from its object tables, is the
        installed description member for member and argument for argument (its annotations are
        the description's alone), and busctl tree lists every driver object."""
        self.box.register()
        _, installed = self.files()
        expected = interface_shapes(ET.parse(installed).getroot())
        hosts = [Host(self.box.connect()) for _ in range(2)]
        typed = TypedHost(self.box.connect())
        # A Modbus/TCP site opens without a device: its connection is made per request.
        site = typed.open(Description="Introspected", Transport="tcp", Host="127.0.0.1",
                          Port=dbus.UInt16(9))
        subscription = str(typed.call(site, TYPED_SITE, "Subscribe", "asa{sv}", ["HREG1"], {}))
        live = {}
        for path in (FACTORY, str(hosts[0].path), TYPED_PATH, site, subscription):
            result = self.busctl("introspect", "--xml-interface", NAME, path)
            self.assertEqual(result.returncode, 0, result.stderr)
            live.update(interface_shapes(ET.fromstring(result.stdout)))
        self.assertEqual(live, expected)
        tree = self.busctl("tree", "--list", NAME)
        self.assertEqual(tree.returncode, 0, tree.stderr)
        self.assertEqual(set(tree.stdout.split()) - {"/", "/QorModBus"},
                         {FACTORY, TYPED_PATH, TYPED_PATH + "/site", site} |
                         {str(h.path) for h in hosts})
        hosts[0].release()
        gone = self.busctl("introspect", "--xml-interface", NAME, str(hosts[0].path))
        self.assertNotEqual(gone.returncode, 0)
        self.assertNotIn(str(hosts[0].path), self.busctl("tree", "--list", NAME).stdout)

    def test_switches_decide_in_their_order_and_any_start_reregisters(self):
        # REGSERVER is tested before UNREGSERVER, whatever the order on the command line.
        result = self.box.run([QORMODBUS, "-UnRegServer", "-RegServer"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(all(os.path.exists(p) for p in self.files()))
        self.assertEqual(self.box.run([QORMODBUS, "-unregserver"]).returncode, 0)
        self.assertFalse(any(os.path.exists(p) for p in self.files()))
        # A standalone start writes the registration again.
        process = self.standalone()
        self.assertTrue(all(os.path.exists(p) for p in self.files()))
        process.terminate()
        self.assertEqual(process.wait(10), 0)
        # Unknown arguments are refused before anything is done.
        result = self.box.run([QORMODBUS, "--regserver"])
        self.assertEqual(result.returncode, 2)
        self.assertIn('unknown argument "--regserver"', result.stderr)

    def test_registration_failure_fails_only_the_register_mode(self):
        blocker = os.path.join(self.box.dir, "not-a-directory")
        open(blocker, "w").close()
        env = {**self.box.env, "XDG_DATA_HOME": blocker}
        result = self.box.run([QORMODBUS, "-RegServer"], env=env)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("Registering failed", result.stderr)
        # Any other start serves all the same.
        process = self.box.start([QORMODBUS, "--bus", self.box.address], env=env,
                                 stderr=subprocess.DEVNULL)
        self.assertTrue(wait_until(lambda: self.box.server_pid() == process.pid, 10))
        Host(self.box.connect()).release()

    def test_a_program_path_with_blanks_still_activates(self):
        folder = os.path.join(self.box.dir, "Program Files", "it's here")
        os.makedirs(folder)
        program = os.path.join(folder, "qormodbus")
        shutil.copy2(QORMODBUS, program)
        self.box.register(program)
        with open(self.files()[0]) as f:
            self.assertIn("Exec='", f.read())
        host = Host(self.box.connect())
        pid = self.box.server_pid()
        self.assertEqual(os.readlink(f"/proc/{pid}/exe"), program)
        host.release()


class ReplyLayoutTest(BusTestCase):
    def setUp(self):
        super().setUp()
        self.box.register()
        self.host = Host(self.box.connect())

    def test_an_unknown_command_answers_for_itself(self):
        first, second = self.host, Host(self.box.connect())
        first.open_site("DESCRIPTION=Shared", "OFFLINE=TRUE")
        second.open_site("DESCRIPTION=Shared", "OFFLINE=TRUE")
        first.execute("COMMAND=POINTVERIFY", "POINTNAME=x", "POINTADDRESS=bad")
        self.assertEqual(first.until_done()[:2], [
            "COMMANDSTATUS=FALSE",
            "COMMANDERROR=Point addresses is invalid. See Help for address format information."])
        # The other client's unknown or missing command gets its own answer, not that error.
        for items in (["COMMAND=FOO"], ["COMMAND="], ["POINTNAME=x"]):
            self.assertEqual([str(e) for e in second.execute(*items)],
                             ["COMMANDSTATUS=FALSE", "COMMANDERROR=Command not supported"], items)

    def test_version_check_open_and_the_reply_layouts(self):
        host = self.host
        self.assertFalse(host.open("DESCRIPTION=Early", "OFFLINE=TRUE"))
        self.assertFalse(host.option("VERSIONCHECK=1.81"))
        self.assertTrue(host.option("VERSIONCHECK=1.805"))
        # A list of variants: strings with numbers and booleans among them.
        params = dbus.Array(["DESCRIPTION=Layout", 7, 2.5, True, dbus.Int64(1 << 40),
                             "OFFLINE=TRUE"], signature="v")
        self.assertTrue(host.call("OpenSite", params))

        # The open's outcome: a result reply, a variant array, empty elements as "".
        reply = host.execute("COMMAND=COMMANDSTATUS")
        self.assertEqual(reply.signature, "v")
        self.assertEqual(list(reply), ["COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""])

        # Nothing running: a status reply, a string array.
        reply = host.execute("COMMAND=COMMANDSTATUS")
        self.assertEqual(reply.signature, "s")
        self.assertEqual(list(reply), ["COMMANDSTATUS=FALSE", ""])

        # A command: its progress text, then FALSE with the reason (SENDDATA is accepted but
        # never supported).
        self.assertEqual(list(host.execute("COMMAND=SENDDATA")),
                         ["COMMANDSTATUS=Writing Data...", ""])
        # A single string is a one-element list.
        reply = host.call("ExecuteCommand", dbus.String("COMMAND=POINTGETDISABLED"))
        self.assertIn(list(reply)[0], ("COMMANDSTATUS=Waiting for driver...",
                                       "COMMANDSTATUS=Writing Data..."))
        self.assertEqual(host.until_done(), ["COMMANDSTATUS=FALSE",
                                             "COMMANDERROR=Command not supported"])

        reply = host.call("ExecuteImmediate", as_list("COMMAND=SENDPOINTSLIST",
                                                      "POINT0={p}{1-HREG1}"))
        self.assertEqual(reply.signature, "s")
        self.assertEqual(len(reply), 3)
        self.assertRegex(str(reply[0]), "^COMMANDSTATUS=(TRUE|FALSE)$")
        self.assertEqual(list(host.call("ExecuteImmediate", as_list("COMMAND=OTHER"))),
                         ["COMMANDSTATUS=FALSE", "", ""])
        self.assertTrue(host.call("CloseSite", as_list()))

    def test_texts_cross_as_one_byte_per_character(self):
        self.assertTrue(self.host.option("VERSIONCHECK=1.8"))
        # "ü" is U+00FC, one byte on the driver's side; "€" has no byte and arrives as "?",
        # which is harmless in a device type but not in a description.
        self.assertTrue(self.host.open("DESCRIPTION=Z\u00fcrich", "DEVICETYPE=\u20ac",
                                       "OFFLINE=TRUE"))
        # The log shows the description the engine got (as its byte, or re-encoded as UTF-8).
        logged = ('Site "Z\u00fcrich": engine created'.encode("latin-1"),
                  'Site "Z\u00fcrich": engine created'.encode("utf-8"))
        self.assertTrue(wait_until(lambda: any(text in self.box.log() for text in logged)))

        # "Pump 中" and "Pump 日" would both read "Pump ?": one host would read the other's
        # device. Such a description is refused, as a list of texts or of variants, and the
        # object can say why.
        other = Host(self.box.connect())
        self.assertTrue(other.option("VERSIONCHECK=1.8"))
        self.assertFalse(self.host.open("DESCRIPTION=Pump \u4e2d", "OFFLINE=TRUE"))
        self.assertFalse(other.call("OpenSite", dbus.Array(["DESCRIPTION=Pump \u65e5", "OFFLINE=TRUE"],
                                                          signature="v")))
        detail = str(other.call("LastErrorDetail", None, signature="",
                                interface="QorModBus.IQorModBusDiagnostics"))
        self.assertIn("refused: the description has characters above U+00FF", detail)
        self.assertIn(b'OpenSite "Pump ?" refused', self.box.log())
        self.assertNotIn(b'Site "Pump ?": engine created', self.box.log())

    def test_site_time_is_written_in_the_servers_time_locale(self):
        # The server takes its LC_TIME locale from the environment it starts in (through the bus
        # that activates it; an empty LC_ALL counts as unset); a locale the machine lacks leaves
        # the fixed form. LC_TIME only: the decimal separator of VERSIONCHECK=1.8 stays ".".
        if "de_DE.utf8" not in subprocess.run(["locale", "-a"], capture_output=True,
                                              text=True).stdout.split():
            self.skipTest("locale de_DE.UTF-8 is not on this machine "
                          "(tools/setup-debian.sh generates it)")
        for lc_time, date_form in (("de_DE.UTF-8", "%d.%m.%Y"), ("xx_NOWHERE.UTF-8", "%Y-%m-%d")):
            box = Sandbox(LC_ALL="", LC_TIME=lc_time)
            self.addCleanup(box.close)
            box.register()
            host = Host(box.connect())
            host.open_site("DESCRIPTION=Clock", "OFFLINE=TRUE")
            before = time.strftime(date_form)
            host.execute("COMMAND=SITETIME")
            text = host.until_done()[3]
            dates = {before, time.strftime(date_form)}
            self.assertRegex(text, r"^SITETIME=(\S+)( \d\d:\d\d:\d\d)?$", lc_time)
            self.assertIn(text.split("=")[1].split(" ")[0], dates, lc_time)
        self.assertIn(b'The time locale "xx_NOWHERE.UTF-8" is not on this machine', box.log())

    def test_a_modbus_tcp_site_opens_without_a_device(self):
        self.host.open_site("DESCRIPTION=Plant", "BP3=TRUE", "SP3=127.0.0.1")
        self.assertEqual(self.host.status(), ["COMMANDSTATUS=FALSE", ""])

    def test_a_modbus_tcp_address_that_cannot_be_right_fails_the_open(self):
        for address in ("127.0.0.1:0", "127.0.0.1:65536", "[::1", "[::1]:502x", "plc:port"):
            reply = self.host.open_site(f"DESCRIPTION=Bad {address}", "BP3=TRUE", f"SP3={address}")
            self.assertEqual(reply[0], "COMMANDSTATUS=FALSE", address)
            self.assertIn("Invalid Modbus/TCP address", reply[1], address)
        reply = self.host.open_site("DESCRIPTION=Good", "BP3=TRUE", "SP3=[::1]:1502")
        self.assertEqual(reply[0], "COMMANDSTATUS=TRUE")

    def test_malformed_calls_get_clear_errors_and_the_server_lives_on(self):
        host = self.host
        pid = self.box.server_pid()
        invalid = "org.freedesktop.DBus.Error.InvalidArgs"
        name, message = self.dbus_error(lambda: host.call("OpenSite", "DESCRIPTION=x", "s"))
        self.assertEqual(name, invalid)
        self.assertIn("expecting 'v'", message)
        self.assertEqual(self.dbus_error(lambda: host.connection.call_blocking(
            NAME, host.path, DRIVER, "ExecuteCommand", "vv", ["a", "b"]))[0], invalid)
        nested = dbus.Array([dbus.Array(["COMMAND=X"], signature="s")], signature="as")
        name, message = self.dbus_error(lambda: host.call("ExecuteCommand", nested))
        self.assertEqual(name, invalid)
        self.assertIn("aas", message)
        self.assertEqual(self.dbus_error(lambda: host.call(
            "ExecuteCommand", dbus.Dictionary({"COMMAND": "X"}, signature="ss")))[0], invalid)
        self.assertEqual(self.dbus_error(lambda: host.call("SetDriverOption", dbus.Int32(1)))[0],
                         invalid)
        # An element of a variant list that is itself a list cannot be read: the failure reply
        # (it is met before any match), or false for the boolean operations.
        inner = dbus.Array([dbus.Array(["VERSIONCHECK=1.8"], signature="s"), "COMMAND=SENDDATA"],
                           signature="v")
        self.assertEqual(list(host.call("ExecuteCommand", inner)), ["COMMANDSTATUS=FALSE", "", ""])
        self.assertFalse(host.call("SetDriverOption", inner))
        self.assertEqual(self.dbus_error(lambda: host.call("Explode", as_list()))[0],
                         "org.freedesktop.DBus.Error.UnknownMethod")
        self.assertEqual(self.dbus_error(lambda: host.call(
            "Release", "x", "s", interface=OBJECT))[0], invalid)
        self.assertEqual(self.dbus_error(lambda: host.connection.call_blocking(
            NAME, FACTORY + "/007", DRIVER, "ExecuteCommand", "v", [as_list()]))[0],
            "org.freedesktop.DBus.Error.UnknownObject")
        created = self.busctl("call", NAME, FACTORY, FACTORY_INTERFACE, "CreateInstance", "s", "x")
        self.assertIn("CreateInstance(), expecting ''", created.stderr)
        # A noncharacter (the daemon lets it through; sd-bus cannot read it): never a call carried
        # out with the list cut short before it (the version check after it would be missing),
        # but an error naming the element, or the call with the element read as text.
        option = dbus.Array(["X=\ufffe", "VERSIONCHECK=1.8"], signature="s")
        try:
            self.assertTrue(host.call("SetDriverOption", option))
        except dbus.DBusException as error:
            self.assertEqual(error.get_dbus_name(), invalid)
            self.assertIn("element 0 of the parameter list cannot be read", error.get_dbus_message())
        self.assertEqual(self.box.server_pid(), pid)
        self.assertTrue(host.option("VERSIONCHECK=1.8"))
        # A call without an interface goes to the member of that name, with the same checks.
        self.assertTrue(host.call("SetDriverOption", as_list("VERSIONCHECK=1.8"), interface=None))
        self.assertEqual(host.call("LastErrorDetail", None, "", interface=None), "")
        self.assertEqual(self.dbus_error(lambda: host.call("OpenSite", "x", "s", interface=None))[0],
                         invalid)
        self.assertEqual(self.dbus_error(lambda: host.call("Explode", as_list(), interface=None))[0],
                         "org.freedesktop.DBus.Error.UnknownMethod")


class AccessAndLifetimeTest(BusTestCase):
    def setUp(self):
        super().setUp()
        self.box.register()

    def test_only_the_creating_client_may_call_or_release_an_object(self):
        owner = Host(self.box.connect())
        other = self.box.connect()
        denied = "org.freedesktop.DBus.Error.AccessDenied"
        for member, signature, args, interface in (
                ("ExecuteCommand", "v", [as_list("COMMAND=COMMANDSTATUS")], DRIVER),
                ("Release", "", [], OBJECT)):
            name, message = self.dbus_error(lambda: other.call_blocking(
                NAME, owner.path, interface, member, signature, args))
            self.assertEqual(name, denied)
            self.assertIn("belongs to another bus client", message)
        # busctl is a client of its own too.
        result = self.busctl("call", NAME, owner.path, DRIVER, "OpenSite", "v", "s",
                             "DESCRIPTION=x")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("Access denied", result.stderr)
        self.assertTrue(owner.option("VERSIONCHECK=1.8"))
        owner.release()
        self.assertEqual(self.dbus_error(owner.release)[0],
                         "org.freedesktop.DBus.Error.UnknownObject")

    def test_one_client_holds_a_bounded_number_of_objects(self):
        greedy = self.box.connect()
        hosts = [Host(greedy) for _ in range(4096)]
        name, message = self.dbus_error(lambda: Host(greedy))
        self.assertEqual(name, "org.freedesktop.DBus.Error.LimitsExceeded")
        self.assertIn("already holds 4096 driver objects", message)
        Host(self.box.connect())  # another client is not affected
        hosts.pop().release()
        Host(greedy)  # a released object makes room

    def test_the_last_release_ends_a_bus_started_server_only(self):
        connection = self.box.connect()
        # A host that releases its last object and at once creates another (by the bus name, as
        # qmbctl run twice does) keeps talking to the same server.
        for _ in range(5):
            Host(self.box.connect()).release()
            again = Host(self.box.connect())
            self.assertTrue(again.option("VERSIONCHECK=1.8"))
            again.release()
        first, second = Host(connection), Host(connection)
        pid = self.box.server_pid()
        first.release()
        time.sleep(0.3)
        self.assertTrue(pid_alive(pid))
        second.release()
        self.assertTrue(wait_until(lambda: not pid_alive(pid), 10))
        self.assertIn(b"Last driver object released: ending", self.box.log())
        # The next call starts a new server.
        Host(connection).release()
        self.assertNotEqual(self.box.server_pid(), pid)

        # A standalone server keeps serving with no objects, until it is told to end.
        self.assertTrue(wait_until(lambda: self.box.server_pid() is None, 10))
        process = self.standalone()
        Host(connection).release()
        time.sleep(0.5)
        self.assertIsNone(process.poll())
        Host(connection).release()
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(10), 0)

    def test_a_killed_host_is_released_and_detached_from_its_engine(self):
        watcher = Host(self.box.connect())
        watcher.open_site("DESCRIPTION=Shared", "OFFLINE=TRUE")
        # The other host takes the site's command session and is killed while holding it.
        victim = self.box.start([sys.executable, "-c", VICTIM, self.box.address],
                                stdout=subprocess.PIPE, text=True)
        self.assertEqual(victim.stdout.readline().strip(), "holding")
        self.assertEqual(watcher.execute("COMMAND=SENDDATA")[0],
                         "COMMANDSTATUS=Waiting for driver...")
        victim.kill()
        victim.wait(5)
        # Once the server sees the host gone, its object is released and detached, so its
        # command no longer holds the site (otherwise it would for 15 s).
        self.assertTrue(wait_until(
            lambda: watcher.execute("COMMAND=SENDDATA")[0] == "COMMANDSTATUS=Writing Data...",
            5))
        self.assertRegex(self.box.log(), rb"left the bus: 1 driver object\(s\) released")
        self.assertEqual(watcher.until_done()[1], "COMMANDERROR=Command not supported")

    def test_a_host_killed_while_it_holds_the_lock_frees_the_site(self):
        watcher = Host(self.box.connect())
        watcher.open_site("DESCRIPTION=Shared", "OFFLINE=TRUE")
        victim = self.box.start([sys.executable, "-c", VICTIM, self.box.address, "lock"],
                                stdout=subprocess.PIPE, text=True)
        self.assertEqual(victim.stdout.readline().strip(), "holding")
        self.assertEqual(watcher.execute("COMMAND=SENDDATA"),
                         ["COMMANDSTATUS=LOCKED", "COMMANDERROR=Victim"])
        victim.kill()
        victim.wait(5)
        # Not locked out for the lock's 30 s: the lock goes with its host.
        self.assertTrue(wait_until(
            lambda: watcher.execute("COMMAND=SENDDATA")[0] == "COMMANDSTATUS=Writing Data...",
            5))


# A host that opens "Shared", starts a command (or, with "lock", takes the site's lock), says so,
# and waits to be killed.
VICTIM = r"""
import sys, time
sys.path.insert(0, %r)
from bushost import Host
import dbus
host = Host(dbus.bus.BusConnection(sys.argv[1]))
host.open_site("DESCRIPTION=Shared", "OFFLINE=TRUE")
if sys.argv[2:] == ["lock"]:
    host.execute("COMMAND=GETDATA", "DRIVERCOMMAND=LOCKCLIENT", "LOCKCOMMENT=Victim")
    assert host.until_done()[0] == "COMMANDSTATUS=TRUE"
else:
    assert host.execute("COMMAND=SENDDATA")[0] == "COMMANDSTATUS=Writing Data..."
print("holding", flush=True)
time.sleep(60)
""" % os.path.dirname(os.path.abspath(__file__))

# One of many concurrent hosts: opens "Crowd", reports ready, and on "go" runs a command to its
# end (SENDDATA: accepted, then refused as not supported), retrying while another host's command
# holds the site.
CROWD_HOST = r"""
import json, sys, time
sys.path.insert(0, %r)
from bushost import Host
import dbus
host = Host(dbus.bus.BusConnection(sys.argv[1]))
host.open_site("DESCRIPTION=Crowd", "OFFLINE=TRUE")
print("ready", flush=True)
sys.stdin.readline()
waits = 0
deadline = time.monotonic() + 100
while True:
    reply = [str(e) for e in host.execute("COMMAND=SENDDATA")]
    if reply[0] != "COMMANDSTATUS=Waiting for driver...":
        break
    waits += 1
    if waits == 1:
        print("waited", flush=True)
    assert time.monotonic() < deadline, "never got the site"
    time.sleep(0.05)
final = host.until_done(30)
print(json.dumps({"accepted": reply, "final": final, "waits": waits}), flush=True)
host.release()
""" % os.path.dirname(os.path.abspath(__file__))


class ConcurrencyTest(BusTestCase):
    CLIENTS = 50

    def test_fifty_hosts_on_one_site_each_complete_their_command(self):
        self.box.register()
        holder = Host(self.box.connect())
        crowd = [self.box.start([sys.executable, "-c", CROWD_HOST, self.box.address],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                 for _ in range(self.CLIENTS)]
        for process in crowd:
            self.assertEqual(process.stdout.readline().strip(), "ready")
        # The holder opens last, so its open's outcome is its own to collect; then it starts a
        # command and leaves the result uncollected: the site is busy for everybody else.
        holder.open_site("DESCRIPTION=Crowd", "OFFLINE=TRUE")
        self.assertEqual(holder.execute("COMMAND=SENDDATA")[0], "COMMANDSTATUS=Writing Data...")
        for process in crowd:
            process.stdin.write("go\n")
            process.stdin.flush()
        for process in crowd:
            self.assertEqual(process.stdout.readline().strip(), "waited")
        self.assertEqual(holder.until_done()[0], "COMMANDSTATUS=FALSE")

        results = []
        for process in crowd:
            line = process.stdout.readline()
            self.assertTrue(line, "a host ended without a result")
            results.append(json.loads(line))
            self.assertEqual(process.wait(30), 0)
        for result in results:
            self.assertEqual(result["accepted"], ["COMMANDSTATUS=Writing Data...", ""])
            self.assertEqual(result["final"], ["COMMANDSTATUS=FALSE",
                                               "COMMANDERROR=Command not supported"])
            self.assertGreaterEqual(result["waits"], 1)
        holder.release()

    def test_an_open_by_another_host_leaves_a_running_read_and_a_lock_alone(self):
        self.standalone()
        device = ModbusTcpDevice(1234, 1.0)
        self.addCleanup(device.close)
        site = ("DESCRIPTION=Shared", "BP3=TRUE", f"SP3=127.0.0.1:{device.port}")
        reader, newcomer, late = (Host(self.box.connect()) for _ in range(3))
        reader.open_site(*site)
        self.assertEqual(reader.execute("COMMAND=POINTGETVALUE", "POINT={x}{HREG1}")[0],
                         "COMMANDSTATUS=Reading Point Value...")
        # The newcomer's open is answered for itself while the read runs ...
        newcomer.option("VERSIONCHECK=1.8")
        self.assertTrue(newcomer.open(*site))
        self.assertEqual(newcomer.status(), ["COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""])
        # ... and the reader still gets its own value.
        read = reader.until_done()
        self.assertEqual(read[:1] + read[3:4], ["COMMANDSTATUS=TRUE", "VALUE=1234"])

        # A lock holder is not locked out by its own lock when another host opens the site.
        reader.execute("COMMAND=GETDATA", "DRIVERCOMMAND=LOCKCLIENT", "LOCKCOMMENT=Tuning")
        self.assertEqual(reader.until_done()[0], "COMMANDSTATUS=TRUE")
        self.assertEqual(late.open_site(*site)[0], "COMMANDSTATUS=TRUE")
        self.assertEqual(late.execute("COMMAND=SITETIME"),
                         ["COMMANDSTATUS=LOCKED", "COMMANDERROR=Tuning"])
        reader.execute("COMMAND=GETDATA", "DRIVERCOMMAND=UNLOCKCLIENT")
        self.assertEqual(reader.until_done()[0], "COMMANDSTATUS=TRUE")


if __name__ == "__main__":
    unittest.main(verbosity=2)

#!/usr/bin/python3
"""End to end with live values: qmbctl drives a bus-started server, which talks Modbus RTU and
ASCII over pseudo-terminals and Modbus/TCP on 127.0.0.1:502 to the device simulator (pymodbus).
Modbus/TCP runs on a free unprivileged port named after the host, and on 502 too when that port
can be bound (as root)."""

import os
import re
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

import dbus.lowlevel

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bushost import (DEVSIM, FACTORY, NAME, QMBCTL, QORMODBUS, Host, ModbusTcpDevice,  # noqa: E402
                     Sandbox, wait_until)


class SimulatorCase(unittest.TestCase):
    """A registered server on a private bus, the device simulator and qmbctl."""

    def setUp(self):
        self.assertTrue(QMBCTL and QORMODBUS and DEVSIM, "QMBCTL, QORMODBUS, QMB_DEVSIM must be set")
        # The bus-started server finds its COM ports where the simulator links them.
        self.box = Sandbox(QORMODBUS_COMDIR="{dir}/com")
        self.addCleanup(self.box.close)
        self.box.register()

    def simulator(self, *args):
        process = self.box.start(["/usr/bin/python3", DEVSIM, *args], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        ready = process.stdout.readline()
        self.assertIn("qmb-devsim ready", ready, process.stderr.read() if not ready else "")
        process.ready = ready  # what it serves, e.g. "tcp=127.0.0.1:40123"
        return process

    def tcp_simulator(self, *args):
        """A simulator on a free Modbus/TCP port of its own choice; its port."""
        ready = self.simulator("--tcp", "0", *args).ready
        return int(re.search(r"tcp=127\.0\.0\.1:(\d+)", ready).group(1))

    def qmbctl(self, *args):
        result = self.box.run([QMBCTL, "--bus", self.box.address, "--timeout", "20", *args],
                              timeout=60)
        return result


class LiveValuesTest(SimulatorCase):
    def check_site(self, site, prefix):
        point = prefix + "HREG30"
        result = self.qmbctl(*site, "POINTMODIFY", f"POINT={{{point}}}{{{point}}}{{VALUE=4321}}")
        self.assertEqual(result.returncode, 0, result.stderr)
        result = self.qmbctl(*site, "POINTGETVALUE", f"POINT={{p}}{{{point}}}")
        self.assertEqual((result.returncode, result.stdout.splitlines()[:1]), (0, ["VALUE=4321"]),
                         result.stderr)
        # HREG1 counts seconds on the simulator: the watch shows it moving.
        result = self.qmbctl(*site, "--point", prefix + "HREG1", "--point", prefix + "HREG4",
                             "watch", "--count", "5", "--interval", "1")
        self.assertEqual(result.returncode, 0, result.stderr)
        seconds = re.findall(r"HREG1=(\d+)$", result.stdout, re.M)
        self.assertGreaterEqual(len(set(seconds)), 2, result.stdout)
        self.assertIn(prefix + "HREG4=1111", result.stdout)

    def test_serial_rtu_and_ascii_sites(self):
        self.simulator("--com", "2", "--framer", "rtu")
        self.simulator("--com", "3", "--framer", "ascii")
        self.check_site(["DESCRIPTION=Line RTU", "COMPORT=2", "BP2=TRUE"], "1-")
        # A raw request: read HREG4 (1111, 0x0457) of slave 1; the reply's bytes come back.
        result = self.qmbctl("DESCRIPTION=Line RTU", "COMPORT=2", "BP2=TRUE", "raw",
                             "010300030001")
        self.assertEqual((result.returncode, result.stdout[:14]), (0, "01 03 02 04 57"),
                         result.stderr)
        self.check_site(["DESCRIPTION=Line ASCII", "COMPORT=3"], "7-")

    def test_a_com_link_in_the_folder_the_config_file_names(self):
        """$QORMODBUS_COMDIR has no COM5, the user's config file names a folder that has: the
        port opens there, and the log tells the lookup once."""
        ports = os.path.join(self.box.dir, "ports")
        config = os.path.join(self.box.dir, "config", "qormodbus", "qormodbus.conf")
        os.makedirs(os.path.dirname(config))
        with open(config, "w") as f:
            f.write(f"# a bad line is warned about and skipped\nPORTS\nCOMDIR={ports}\n")
        self.simulator("--com", "5", "--comdir", ports, "--framer", "rtu")
        result = self.qmbctl("DESCRIPTION=Configured", "COMPORT=5", "BP2=TRUE", "raw",
                             "010300030001")
        self.assertEqual((result.returncode, result.stdout[:14]), (0, "01 03 02 04 57"),
                         result.stderr)
        # The log file alone: standard error holds the same lines.
        with open(os.path.join(self.box.state, "qormodbus", "qormodbus.log")) as f:
            log = f.read()
        lookups = re.findall(r"COM5: (\S+) -> (/dev/pts/\d+) \((.*)\)$", log, re.M)
        self.assertEqual(len(lookups), 1, log)
        link, device, how = lookups[0]
        self.assertEqual(link, os.path.join(ports, "COM5"))
        self.assertEqual(device, os.path.realpath(link))
        self.assertEqual(how, f"from config COMDIR in {config}; tried "
                              f"$QORMODBUS_COMDIR={self.box.dir}/com (no COM5)")
        self.assertEqual(log.count(f"{config}:2: not a KEY=VALUE line"), 1, log)

    def test_the_live_frame_trace_shows_a_polls_request_and_reply_to_whom_may_see_them(self):
        """qmbctl trace, while a host's points are polled: the server's own user sees the
        request and the reply; another user's client sees nothing until it opens the site."""
        self.simulator("--com", "2", "--framer", "rtu")
        host = Host(self.box.connect())
        self.assertEqual(host.open_site("DESCRIPTION=Traced", "COMPORT=2", "BP2=TRUE")[0],
                         "COMMANDSTATUS=TRUE")
        self.assertEqual(host.run("COMMAND=SENDPOINTSLIST", "POINT0={a}{1-HREG4}")[0],
                         "COMMANDSTATUS=TRUE")

        def trace(*args, user=None, program=QMBCTL):
            return self.box.start([program, "--bus", self.box.address, "--seconds", "4", *args],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                  user=user, group=user, extra_groups=[] if user else None)

        tracers = {"own user": trace("trace", "traced")}  # the site named in either case
        other_user = "only root can run a client as another user"
        if os.getuid() == 0:
            try:
                # The other user runs its own copy: it may not enter the build folder.
                qmbctl, = self.box.open_to_other_users(QMBCTL)
                tracers["other user"] = trace("trace", user=65534, program=qmbctl)
                tracers["other user, site open"] = trace("DESCRIPTION=Traced", "COMPORT=2",
                                                         "BP2=TRUE", "trace", user=65534,
                                                         program=qmbctl)
                other_user = None
            except unittest.SkipTest as reason:
                other_user = str(reason)
        outputs = {}
        for name, process in tracers.items():
            stdout, stderr = process.communicate(timeout=40)
            self.assertEqual(process.returncode, 0, f"{name}: {stderr}")
            outputs[name] = (stdout, stderr)

        def exchanges(stdout):
            """The polls' requests, each with the bytes received after it joined up."""
            pairs = []
            for line in stdout.splitlines():
                match = re.fullmatch(r"\d\d:\d\d:\d\d\.\d{6} Traced ([<>]) ((?:[0-9A-F]{2} ?)+)",
                                     line)
                self.assertIsNotNone(match, line)
                if match.group(1) == ">":
                    pairs.append([match.group(2), ""])
                elif pairs:
                    pairs[-1][1] = (pairs[-1][1] + " " + match.group(2)).strip()
            return pairs

        own = exchanges(outputs["own user"][0])
        self.assertGreaterEqual(len(own), 2, outputs["own user"])
        # HREG4 of slave 1 (register 3) and its value 1111 (04 57), each with its CRC.
        self.assertIn(["01 03 00 03 00 01 74 0A", "01 03 02 04 57 FB 7A"], own)
        self.assertEqual(outputs["own user"][1], "")
        with self.subTest("another user's client"):
            if other_user:
                self.skipTest(other_user)
            self.assertEqual(outputs["other user"][0], "")
            self.assertIn("only the frames of the sites this client opens",
                          outputs["other user"][1])
            self.assertIn(["01 03 00 03 00 01 74 0A", "01 03 02 04 57 FB 7A"],
                          exchanges(outputs["other user, site open"][0]))
        # A watcher that leaves the bus without a word is let go all the same.
        leaver = self.box.connect()
        self.assertTrue(leaver.call_blocking(NAME, FACTORY, "QorModBus.IQorModBusTrace",
                                             "WatchFrames", "b", [True]))
        leaver.close()

        def log():
            with open(os.path.join(self.box.state, "qormodbus", "qormodbus.log")) as f:
                return f.read()
        self.assertTrue(wait_until(lambda: "stopped watching frames (left the bus)" in log(), 5),
                        log())
        self.assertEqual(log().count("watches the frames of every site"), 2, log())
        self.assertEqual(log().count("stopped watching frames (asked to stop)"), len(tracers),
                         log())
        # Switched on and off in one breath, the second call sent before the first is answered:
        # the watch ends off, whenever the bus answers what the server asks about the first.
        flipper = self.box.connect()
        replies = []
        pending = []
        for on in (True, False):
            call = dbus.lowlevel.MethodCallMessage(NAME, FACTORY, "QorModBus.IQorModBusTrace",
                                                   "WatchFrames")
            call.append(on, signature="b")
            pending.append(flipper.send_message_with_reply(call, replies.append,
                                                           require_main_loop=False))
        for call in pending:
            call.block()
        self.assertEqual([reply.get_args_list() for reply in replies], [[True], [False]])
        self.assertEqual(log().count("watches the frames of every site") - 2,
                         log().count("stopped watching frames (asked to stop)") - len(tracers),
                         log())
        flipper.close()
        # A site that is not open is refused, with the ones that are.
        unknown = self.qmbctl("trace", "Nosuch")
        self.assertEqual(unknown.returncode, 1, unknown.stderr)
        self.assertIn('no site "Nosuch" to trace: the open ones are "Traced"', unknown.stderr)

    def test_a_serial_device_unplugged_and_plugged_back_heals(self):
        """The simulator stopped (its pseudo-terminal closes, its COM link goes: a USB adapter
        pulled) and started again (a new one linked as the same COM port): the site stays open,
        says the port is down with its own settings, fails commands at once, and polls again
        within moments of the port coming back, its points not dropped meanwhile."""
        simulator = self.simulator("--com", "2", "--framer", "rtu")
        host = Host(self.box.connect())
        self.assertEqual(host.open_site("DESCRIPTION=Healing", "COMPORT=2", "BP2=TRUE",
                                        "BAUDRATE=38400")[0], "COMMANDSTATUS=TRUE")
        self.assertEqual(host.run("COMMAND=SENDPOINTSLIST", "POINT0={a}{1-HREG1}",
                                  "POINT1={b}{1-HREG4}")[0], "COMMANDSTATUS=TRUE")

        def values():
            reply = host.run("COMMAND=GETPOINTSLIST")
            return dict(re.findall(r"^POINT\d+=\{(.*?)\}\{VALUE=(.*)\}$", "\n".join(reply[3:]),
                                   re.M))

        self.assertTrue(wait_until(lambda: len(values()) == 2, 10), values())
        site_status = ["Protocol: RTU", "Comport: 2", "Baud: 38400", "Parity: None",
                       "Stop Bits: 2"]
        self.assertEqual(host.run("COMMAND=SITESTATUS")[3:][4:], [""] + site_status)

        simulator.terminate()
        simulator.wait(10)
        self.assertTrue(wait_until(
            lambda: host.run("COMMAND=SITESTATUS")[3:][4].startswith("Port down, reopening: "),
            5))
        self.assertEqual(host.run("COMMAND=SITESTATUS")[3:][5:], site_status)
        started = time.monotonic()
        self.assertEqual(host.run("COMMAND=POINTGETVALUE", "POINT={p}{1-HREG4}")[:2],
                         ["COMMANDSTATUS=FALSE", "COMMANDERROR=Could not read data from panel."])
        raw = host.run("COMMAND=GETDATA", "DRIVERCOMMAND=SENDCOMMAND",
                       "COMMANDSTRING=010300030001")
        self.assertEqual(raw[0], "COMMANDSTATUS=FALSE")
        self.assertTrue(raw[1].startswith("COMMANDERROR=Cannot send: COM2 is not open (reopening: "),
                        raw)
        self.assertLess(time.monotonic() - started, 3, "commands fail at once")
        # Long enough for three failed polls of each point, were they counted.
        time.sleep(8)
        frozen = values()["1-HREG1"]

        simulator = self.simulator("--com", "2", "--framer", "rtu")
        self.assertTrue(wait_until(lambda: b"COM2 reopened after" in self.box.log(), 40),
                        "the port is never reopened")
        # HREG1 counts the new simulator's seconds: two new values, soon after.
        seen = set()

        def moving():
            seen.add(values()["1-HREG1"])
            return len(seen - {frozen}) >= 2

        self.assertTrue(wait_until(moving, 6), f"polling does not resume at once: {seen}")
        self.assertEqual(host.run("COMMAND=SITESTATUS")[3:][4:], [""] + site_status)
        self.assertEqual(host.run("COMMAND=POINTGETVALUE", "POINT={p}{1-HREG4}")[3],
                         "VALUE=1111")

        # (The server's standard error and its log file hold the same lines.)
        log = set(self.box.log().decode(errors="replace").splitlines())
        self.assertEqual(len([line for line in log if "serial port failed" in line]), 1, log)
        self.assertEqual(len([line for line in log if "COM2 reopened after" in line]), 1, log)
        host.release()

    def test_modbus_tcp_site_on_a_named_port(self):
        port = self.tcp_simulator()
        self.check_site(["DESCRIPTION=Plant", "BP3=TRUE", f"SP3=127.0.0.1:{port}"], "")

    def test_rtu_frames_over_tcp_to_the_points_slave(self):
        # pymodbus's RTU framer on a TCP server, answering slave 17 only, as a device server does.
        port = self.tcp_simulator("--tcp-framer", "rtu", "--unit", "17")
        site = ["DESCRIPTION=Server", "BP3=TRUE", f"SP3=127.0.0.1:{port}", "TCPFRAMING=RTU"]
        self.check_site(site, "17-")
        result = self.qmbctl(*site, "raw", "110300030002")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("11 03 04 04 57 08 AE", result.stdout.upper())

    def test_the_unit_id_comes_from_the_point_with_tcpunit_point(self):
        device = ModbusTcpDevice(1234)
        self.addCleanup(device.close)
        site = ["DESCRIPTION=Gateway", "BP3=TRUE", f"SP3=127.0.0.1:{device.port}"]
        rows = [([], "17-HREG4", 255), ([], "HREG4", 255), (["TCPUNIT=FF"], "17-HREG4", 255),
                (["TCPUNIT=POINT"], "17-HREG4", 17), (["TCPUNIT=POINT"], "HREG4", 255),
                (["TCPUNIT=POINT"], f"[127.0.0.1:{device.port}]-HREG4", 255)]
        for keys, address, unit in rows:
            with self.subTest(keys=keys, address=address):
                result = self.qmbctl(*site, *keys, "POINTGETVALUE", f"POINT={{p}}{{{address}}}")
                self.assertEqual((result.returncode, result.stdout.splitlines()[:1]),
                                 (0, ["VALUE=1234"]), result.stderr)
                self.assertEqual(device.units[-1], unit)

    def silent_peer(self):
        """A Modbus/TCP device that accepts connections and never answers; its port."""
        server = socket.socket()
        server.bind(("127.0.0.1", 0))
        server.listen(16)
        accepted = []

        def accept():
            while True:
                try:
                    connection, _ = server.accept()
                except OSError:
                    return
                accepted.append(connection)

        threading.Thread(target=accept, daemon=True).start()

        def stop():
            server.close()
            for connection in accepted:
                connection.close()

        self.addCleanup(stop)
        return server.getsockname()[1]

    def test_silent_devices_do_not_hold_up_a_healthy_site(self):
        port = self.tcp_simulator()
        healthy = ["DESCRIPTION=Plant", "BP3=TRUE", f"SP3=127.0.0.1:{port}"]
        self.assertEqual(self.qmbctl(*healthy, "POINTGETVALUE", "POINT={p}{HREG4}").returncode, 0)
        # Four sites whose devices never answer, each with a read in flight (about 20 s each).
        silent_port = self.silent_peer()
        silent = [self.box.start([QMBCTL, "--bus", self.box.address, "--timeout", "60",
                                  f"DESCRIPTION=Silent {i}", "BP3=TRUE",
                                  f"SP3=127.0.0.1:{silent_port}", "POINTGETVALUE",
                                  "POINT={x}{HREG1}"],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                  for i in range(4)]
        # Meanwhile the healthy site answers and its polled values keep moving (HREG1 counts
        # seconds on the simulator).
        result = self.qmbctl(*healthy, "POINTGETVALUE", "POINT={p}{HREG4}")
        self.assertEqual((result.returncode, result.stdout.splitlines()[:1]), (0, ["VALUE=1111"]),
                         result.stderr)
        result = self.qmbctl(*healthy, "--point", "HREG1", "watch", "--count", "5",
                             "--interval", "1")
        self.assertEqual(result.returncode, 0, result.stderr)
        seconds = re.findall(r"HREG1=(\d+)$", result.stdout, re.M)
        self.assertGreaterEqual(len(set(seconds)), 3, result.stdout)
        # ... all while the silent reads were still waiting for their devices.
        self.assertEqual([p.poll() for p in silent], [None] * 4)
        for process in silent:
            out, err = process.communicate(timeout=60)
            self.assertNotEqual(process.returncode, 0, out + err)
            self.assertIn("Could not read data from panel.", out + err)

    def test_a_write_value_that_is_no_value_writes_nothing(self):
        port = self.tcp_simulator()
        site = ["DESCRIPTION=Plant", "BP3=TRUE", f"SP3=127.0.0.1:{port}"]
        result = self.qmbctl(*site, "POINTMODIFY", "POINT={HREG30}{HREG30}{VALUE=777}")
        self.assertEqual(result.returncode, 0, result.stderr)
        for typo in ["abc", "1e99", "seven"]:
            result = self.qmbctl(*site, "POINTMODIFY", f"POINT={{HREG30}}{{HREG30}}{{VALUE={typo}}}")
            self.assertNotEqual(result.returncode, 0, typo)
            self.assertIn("Could not modify point.", result.stdout + result.stderr, typo)
        result = self.qmbctl(*site, "POINTGETVALUE", "POINT={p}{HREG30}")
        self.assertEqual((result.returncode, result.stdout.splitlines()[:1]), (0, ["VALUE=777"]),
                         result.stderr)

    def test_watch_says_why_a_point_has_no_value_and_a_write_what_it_wrote(self):
        port = self.tcp_simulator()
        site = ["DESCRIPTION=Plant", "BP3=TRUE", f"SP3=127.0.0.1:{port}"]
        result = self.qmbctl(*site, "POINTMODIFY", "POINT={HREG30}{HREG30}{VALUE=777}")
        self.assertEqual((result.returncode, result.stdout), (0, "written: HREG30=777\n"),
                         result.stderr)
        watch = ["watch", "--count", "3", "--interval", "0.3"]
        result = self.qmbctl(*site, "--point", "HREG4", "--point", "HREG300", "--point", "PUMP",
                             *watch)
        self.assertEqual(result.returncode, 0, result.stderr)
        told = re.findall(r"^\d\d:\d\d:\d\d (.*)$", result.stdout, re.M)
        self.assertIn("HREG4=1111", told)
        self.assertIn("HREG300: no value: Could not read data from panel.; unit 255 answered "
                      "function 3 with exception 2 (Illegal Data Address)", told)
        self.assertIn('PUMP: no value: Could not read data from panel.; bad address syntax: '
                      '"PUMP": no kind word (OUT, IN, HREG or IREG) in "PUMP"', told)
        self.assertEqual(len(told), 3, result.stdout)  # each reason once
        # Never a value: the watch fails.
        result = self.qmbctl(*site, "--point", "HREG300", *watch)
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn("watch: no point got a value in 3 reads", result.stderr)
        # trace registers its --point list on the site it opens, so the poll's frames flow.
        result = self.qmbctl(*site, "--point", "HREG5", "trace", "--count", "2")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(len(re.findall(r" Plant [<>] ", result.stdout)), 2, result.stdout)
        self.assertEqual(self.qmbctl("--point", "HREG5", "trace").returncode, 2)

    def test_typed_values_are_written_and_read_back_by_their_type(self):
        port = self.tcp_simulator()
        site = ["DESCRIPTION=Meter", "BP3=TRUE", f"SP3=127.0.0.1:{port}", "DECODE=TYPED"]
        rows = [  # address, value written, value read back
            ("HREG20,0,32,FLOAT", "1.5", "1.5"),
            ("HREG22,0,32,FLOAT,CDAB", "-3.25e-5", "-3.25e-05"),
            ("HREG24,0,64,DOUBLE", "0.1", "0.1"),
            ("HREG28,0,32,DINT", "-123456", "-123456"),
            ("HREG30,0,64,LWORD", "18446744073709551615", "18446744073709551615"),
            ("HREG34,0,16,INT", "-2", "-2"),
            ("HREG35,0,64,STRING", "Pump 1", "Pump 1"),
            ("HREG40,0,32,DWORD,DCBA", "4000000000", "4000000000"),
        ]
        for address, written, read in rows:
            with self.subTest(address=address):
                result = self.qmbctl(*site, "POINTMODIFY", f"POINT={{k}}{{{address}}}{{VALUE={written}}}")
                self.assertEqual((result.returncode, result.stdout),
                                 (0, f"written: {address}={written}\n"), result.stderr)
                result = self.qmbctl(*site, "POINTGETVALUE", f"POINT={{k}}{{{address}}}")
                self.assertEqual((result.returncode, result.stdout.splitlines()[:1]),
                                 (0, [f"VALUE={read}"]), result.stderr)
        # Kept fresh by the tick-paced poll and by the fast scan (one block read over all of
        # them), each listed by its type; a tail that names no value of its type gets none.
        for mode in ["POLLMODE=TICK", "POLLMODE=FAST"]:
            with self.subTest(mode=mode):
                host = Host(self.box.connect())
                self.assertEqual(host.open_site(f"DESCRIPTION=Meter {mode}", *site[1:], mode)[0],
                                 "COMMANDSTATUS=TRUE")
                keys = [address for address, _, _ in rows] + ["HREG60,0,16,FLOAT"]
                self.assertEqual(host.run("COMMAND=SENDPOINTSLIST", *[
                    f"POINT{i}={{{key}}}{{{key}}}" for i, key in enumerate(keys)])[0],
                    "COMMANDSTATUS=TRUE")
                expected = [f"POINT{i}={{{address}}}{{VALUE={read}}}"
                            for i, (address, _, read) in enumerate(rows)]

                def listed():
                    return [str(e) for e in host.run("COMMAND=GETPOINTSLIST")[3:]]

                self.assertTrue(wait_until(lambda: listed() == expected, limit=20), listed())
                host.release()
        # On the wire as pymodbus lays a little-endian-word float out.
        from pymodbus.client import ModbusTcpClient
        from pymodbus.constants import Endian
        from pymodbus.payload import BinaryPayloadDecoder
        client = ModbusTcpClient("127.0.0.1", port=port, timeout=3)
        self.assertTrue(client.connect())
        words = client.read_holding_registers(21, 2, slave=255).registers
        client.close()
        self.assertEqual(BinaryPayloadDecoder.fromRegisters(
            words, byteorder=Endian.Big, wordorder=Endian.Little).decode_32bit_float(),
            struct.unpack(">f", struct.pack(">f", -3.25e-5))[0])
        # Refused before anything is sent, each with its reason.
        for point, cause in [("{k}{HREG20,0,16,FLOAT}{VALUE=1}",
                              "nothing sent: a FLOAT's Count is 32 bits, not 16"),
                             ("{k}{HREG20,0,32,FLOAT}{VALUE=1e39}",
                              'nothing sent: "1e39" is out of range for FLOAT'),
                             ("{k}{HREG20,3,1,BOOL}{VALUE=1}",
                              "nothing sent: a BOOL inside a register cannot be written"),
                             ("{k}{HREG1,0,2000,STRING}{VALUE=x}",
                              "nothing sent: 125 registers do not go in one write from "
                              "HREG1,0,2000,STRING (123 at the most)")]:
            result = self.qmbctl(*site, "POINTMODIFY", "POINT=" + point)
            self.assertEqual(result.returncode, 1, result.stdout)
            self.assertIn("Could not modify point.\n  cause: " + cause, result.stderr)
        # Without DECODE=TYPED an extended address is one unsigned register, as ever.
        plain = site[:-1]
        result = self.qmbctl(*plain, "POINTGETVALUE", "POINT={k}{HREG20,0,32,FLOAT}")
        self.assertEqual(result.stdout.splitlines()[:1], ["VALUE=16320"], result.stderr)
        # A device without 05 and 06 takes its single writes as 15 and 16.
        multiple = ["DESCRIPTION=No single writes", "BP3=TRUE", f"SP3=127.0.0.1:{port}",
                    "WRITEFUNCTION=16"]
        for point, value, read in [("HREG50", "77", "77"), ("OUT7", "ON", "TRUE")]:
            result = self.qmbctl(*multiple, "POINTMODIFY", f"POINT={{k}}{{{point}}}{{VALUE={value}}}")
            self.assertEqual(result.returncode, 0, result.stderr)
            result = self.qmbctl(*multiple, "POINTGETVALUE", f"POINT={{k}}{{{point}}}")
            self.assertEqual(result.stdout.splitlines()[:1], [f"VALUE={read}"], result.stderr)

    def test_failures_name_their_cause_beside_the_hosts_text(self):
        port = self.tcp_simulator()
        site = ["DESCRIPTION=Plant", "BP3=TRUE", f"SP3=127.0.0.1:{port}"]
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            closed = probe.getsockname()[1]
        cases = [
            (site + ["POINTGETVALUE", "POINT={p}{HREG60000}"], "Could not read data from panel.",
             "unit 255 answered function 3 with exception 2 (Illegal Data Address)"),
            (site + ["POINTGETVALUE", "POINT={p}{PUMP}"], "Could not read data from panel.",
             'bad address syntax: "PUMP"'),
            (site + ["POINTMODIFY", "POINT={p}{1-HREG}{VALUE=1}"], "Could not modify point.",
             'bad address syntax: "1-HREG": no point number after HREG'),
            # Writes refused before anything is sent say what was refused and why.
            (site + ["POINTMODIFY", "POINT={k}{IREG1}{VALUE=1}"], "Could not modify point.",
             "nothing sent: IREG1 is an input register, which cannot be written"),
            (site + ["POINTMODIFY", "POINT={k}{HREG30}{VALUE=70000}"], "Could not modify point.",
             "nothing sent: VALUE 70000 does not fit HREG30, a 16-bit register (0 to 65535)"),
            (site + ["POINTMODIFY", "POINT={k}{HREG30}{VALUE=-1}"], "Could not modify point.",
             "nothing sent: VALUE -1 does not fit HREG30"),
            (site + ["POINTMODIFY", "POINT={k}{HREG30}"], "Could not modify point.",
             "nothing sent: no value to write (POINT={key}{address}{VALUE=value})"),
            (site + ["POINTGETVALUE", "POINT=HREG4"], "Could not read data from panel.",
             'POINT "HREG4" has no {...} groups: POINT={label}{address}'),
            (site + ["raw", "010300000001"], "raw failed",
             "raw requests go on a serial line; a Modbus/TCP site sends none"),
            (["DESCRIPTION=Gone", "BP3=TRUE", f"SP3=127.0.0.1:{closed}", "POINTGETVALUE",
              "POINT={p}{HREG1}"], "Could not read data from panel.",
             f"Modbus/TCP 127.0.0.1:{closed}: Connection refused"),
            (["DESCRIPTION=Line", "COMPORT=9", "open"],
             "Specified comport is not available or already in use.",
             # The device chosen and how: a bus-started server has not the shell's settings.
             "COM9: no device at /dev/ttyS8 (No such file or directory; from the fallback; "
             f"tried $QORMODBUS_COMDIR={self.box.dir}/com (no COM9), config COMDIR unset"),
        ]
        for args, text, cause in cases:
            with self.subTest(cause=cause):
                result = self.qmbctl(*args)
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                self.assertIn(text + "\n  cause: " + cause, result.stderr)
        # The log names each cause too, once however often it recurs on the site.
        host = Host(self.box.connect())
        host.open_site(*site)
        for _ in range(3):
            host.execute("COMMAND=POINTGETVALUE", "POINT={p}{VALVE}")
            self.assertEqual(host.until_done()[1], "COMMANDERROR=Could not read data from panel.")
            self.assertEqual(host.call("LastErrorDetail", None, signature="",
                                       interface="QorModBus.IQorModBusDiagnostics"),
                             'bad address syntax: "VALVE": no kind word (OUT, IN, HREG or IREG) in '
                             '"VALVE"')
        with open(os.path.join(self.box.state, "qormodbus", "qormodbus.log"), "rb") as log:
            self.assertEqual(log.read().count(b'bad address syntax: "VALVE"'), 1)

    def test_modbus_tcp_site_on_port_502(self):
        try:
            with socket.socket() as probe:
                probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                probe.bind(("127.0.0.1", 502))
        except OSError as error:
            self.skipTest(f"port 502 is not available here: {error}")
        self.simulator("--tcp", "502")
        self.check_site(["DESCRIPTION=Plant", "BP3=TRUE", "SP3=127.0.0.1"], "")



class FastScanTest(SimulatorCase):
    """POLLMODE=FAST against the simulator: 30 points refresh many times a second where the
    tick-paced poll takes about 12 s for one round, and a host's command is still served at
    once between two exchanges."""

    def check_fast(self, site, prefix):
        host = Host(self.box.connect())
        self.assertEqual(host.open_site(*site, "POLLMODE=FAST")[0], "COMMANDSTATUS=TRUE")
        names = ([f"{prefix}HREG{n}" for n in range(1, 21)] + [f"{prefix}OUT{n}" for n in range(1, 6)]
                 + [f"{prefix}IN{n}" for n in range(1, 4)] + [f"{prefix}IREG1", f"{prefix}HREG90"])
        points = [f"POINT{i}={{p{i}}}{{{name}}}" for i, name in enumerate(names)]
        self.assertEqual(host.run("COMMAND=SENDPOINTSLIST", *points)[0], "COMMANDSTATUS=TRUE")

        def values():
            reply = [str(e) for e in host.run("COMMAND=GETPOINTSLIST")]
            return dict(re.findall(r"^POINT\d+=\{([^}]*)\}\{VALUE=([^}]*)\}$", "\n".join(reply), re.M))

        self.assertTrue(wait_until(lambda: len(values()) == len(names), limit=10), values())
        ramp = set()  # HREG3 steps ten times a second
        deadline = time.monotonic() + 2.0
        while time.monotonic() < deadline:
            ramp.add(values()[prefix + "HREG3"])
            time.sleep(0.1)
        self.assertGreaterEqual(len(ramp), 5, ramp)
        now = values()
        self.assertEqual((now[prefix + "HREG4"], now[prefix + "HREG9"]), ("1111", "6666"))
        # A command meanwhile: taken at once, answered within a tick or two of the scan.
        started = time.monotonic()
        reply = [str(e) for e in host.run("COMMAND=POINTGETVALUE", f"POINT={{x}}{{{prefix}HREG5}}")]
        self.assertEqual(reply[0::3], ["COMMANDSTATUS=TRUE", "VALUE=2222"])
        self.assertLess(time.monotonic() - started, 1.0)
        host.release()

    def test_fast_scan_on_rtu_and_modbus_tcp(self):
        self.simulator("--com", "2", "--framer", "rtu")
        port = self.tcp_simulator()
        self.check_fast(["DESCRIPTION=Fast RTU", "COMPORT=2", "BP2=TRUE", "BAUDRATE=38400"], "1-")
        self.check_fast(["DESCRIPTION=Fast TCP", "BP3=TRUE", f"SP3=127.0.0.1:{port}"], "")
        log = self.box.log()
        self.assertIn(b'Site "Fast RTU": fast scan: 30 points in 5 block reads', log)

    def test_fast_scan_on_rtu_frames_over_tcp(self):
        port = self.tcp_simulator("--tcp-framer", "rtu", "--unit", "17")
        self.check_fast(["DESCRIPTION=Fast server", "BP3=TRUE", f"SP3=127.0.0.1:{port}",
                         "TCPFRAMING=RTU"], "17-")
        self.assertIn(b'Site "Fast server": fast scan: 30 points in 5 block reads', self.box.log())


class SiteTimingTest(SimulatorCase):
    """The timing keys and writes to slave 0 against the simulator, as hosts use them."""

    def test_timing_keys_give_a_slow_device_its_time_and_bad_values_refuse_the_open(self):
        # Every reply comes 700 ms after its request: later than an RTU point read waits.
        self.simulator("--com", "2", "--framer", "rtu", "--paced", "--turnaround", "700")
        accepts = {"TIMEOUT": "the milliseconds a device may take to answer, a whole number "
                              "from 10 to 30000",
                   "RETRIES": "the attempts of each read, a whole number from 1 to 10",
                   "GAP": "the milliseconds of silence kept between requests, a whole number "
                          "from 0 to 10000"}
        cases = [  # (keys, qmbctl's exit code, what it says)
            ([], 1, "Could not read data from panel."),
            (["TIMEOUT=1500"], 0, "VALUE=1111"),
            (["TIMEOUT=1500", "RETRIES=2", "GAP=50"], 0, "VALUE=1111"),
            (["TIMEOUT=5"], 2, "TIMEOUT=5 is not " + accepts["TIMEOUT"]),
            (["RETRIES=0"], 2, "RETRIES=0 is not " + accepts["RETRIES"]),
            (["GAP=soon"], 2, "GAP=soon is not " + accepts["GAP"]),
        ]
        for number, (keys, code, said) in enumerate(cases):
            with self.subTest(keys=keys):
                result = self.qmbctl(f"DESCRIPTION=Slow {number}", "COMPORT=2", "BP2=TRUE", *keys,
                                     "POINTGETVALUE", "POINT={p}{1-HREG4}")
                self.assertEqual(result.returncode, code, result.stdout + result.stderr)
                self.assertIn(said, result.stdout + result.stderr)
                if code == 2:
                    self.assertIn("the driver would refuse the open", result.stderr)
        # A host that sends such a value anyway has its open refused, and is told why.
        host = Host(self.box.connect())
        self.assertTrue(host.option("VERSIONCHECK=1.8"))
        for key, value in (("TIMEOUT", "30001"), ("RETRIES", "many"), ("CONNECTPAUSE", "-1")):
            with self.subTest(key=key):
                self.assertFalse(host.open("DESCRIPTION=Slow", "COMPORT=2", "BP2=TRUE",
                                           f"{key}={value}"))
                detail = str(host.call("LastErrorDetail", None, signature="",
                                       interface="QorModBus.IQorModBusDiagnostics"))
                self.assertTrue(detail.startswith(
                    f'OpenSite "Slow" refused: {key} "{value}" is not the '), detail)

    def test_a_connect_pause_comes_before_the_first_request(self):
        port = self.tcp_simulator()
        for keys, fewest in (([], 0.0), (["CONNECTPAUSE=1500"], 1.5)):
            with self.subTest(keys=keys):
                host = Host(self.box.connect())
                host.open_site(f"DESCRIPTION=Paused {len(keys)}", "BP3=TRUE",
                               f"SP3=127.0.0.1:{port}", *keys)
                started = time.monotonic()
                reply = host.run("COMMAND=POINTGETVALUE", "POINT={p}{HREG4}")
                self.assertIn("VALUE=1111", [str(e) for e in reply])
                self.assertGreaterEqual(time.monotonic() - started, fewest)
                host.release()

    def test_a_write_to_slave_0_is_a_broadcast_and_a_read_from_it_is_refused(self):
        # The simulator acts on every unit id, 0 among them, as all the devices on a line do.
        self.simulator("--com", "2", "--framer", "rtu")
        self.simulator("--com", "3", "--framer", "ascii")
        for number, line in enumerate((["COMPORT=2", "BP2=TRUE"], ["COMPORT=3"])):
            site = [f"DESCRIPTION=Bus line {number}", *line]
            value = str(2000 + number)
            cases = [  # (command, qmbctl's exit code, what it says)
                (["POINTMODIFY", f"POINT={{w}}{{0-HREG30}}{{VALUE={value}}}"], 0, ""),
                (["POINTGETVALUE", "POINT={p}{1-HREG30}"], 0, "VALUE=" + value),
                (["POINTGETVALUE", "POINT={p}{0-HREG30}"], 1,
                 "cause: nothing sent: slave 0 is the broadcast address, which no device "
                 "answers"),
                (["raw", "000600030007"], 0, ""),
                (["POINTGETVALUE", "POINT={p}{1-HREG4}"], 0, "VALUE=7"),
            ]
            for command, code, said in cases:
                with self.subTest(line=line, command=command):
                    started = time.monotonic()
                    result = self.qmbctl(*site, *command)
                    self.assertEqual(result.returncode, code, result.stdout + result.stderr)
                    self.assertIn(said, result.stdout + result.stderr)
                    # Done at once, not after a silent slave's three attempts (2.5 s or more).
                    self.assertLess(time.monotonic() - started, 2.5)


class FaultMatrixTest(SimulatorCase):
    def test_faults_of_one_modbus_tcp_device_stay_with_its_site(self):
        port = self.tcp_simulator()
        neighbour = Host(self.box.connect())
        neighbour.open_site("DESCRIPTION=Healthy", "BP3=TRUE", f"SP3=127.0.0.1:{port}")
        # The fault, and whether the read still gets the device's value through it.
        for fault, readable in [("reset", False), ("other-unit", False), ("other-function", False),
                                ("garbage", None), ("bytewise", True), ("stale-first", True)]:
            with self.subTest(fault=fault):
                device = ModbusTcpDevice(1234, fault=fault)
                self.addCleanup(device.close)
                host = Host(self.box.connect())
                host.open_site(f"DESCRIPTION=Faulty {fault}", "BP3=TRUE",
                               f"SP3=127.0.0.1:{device.port}")
                host.execute("COMMAND=POINTGETVALUE", "POINT={x}{HREG1}")
                read = host.until_done(30)
                if readable is not None:
                    self.assertEqual(read[0], "COMMANDSTATUS=" + ("TRUE" if readable else "FALSE"))
                if readable:
                    self.assertEqual(read[3], "VALUE=1234")
                # The other site and its host go on; once the device behaves, so does its site.
                neighbour.execute("COMMAND=POINTGETVALUE", "POINT={p}{HREG4}")
                self.assertEqual(neighbour.until_done()[3], "VALUE=1111")
                device.fault = None
                host.execute("COMMAND=POINTGETVALUE", "POINT={x}{HREG1}")
                self.assertEqual(host.until_done(30)[3], "VALUE=1234")
                host.release()
        # The reset is reported once, as the cause of that site's failure.
        self.assertEqual(self.box.log().count(b'Site "Faulty reset": Modbus/TCP'), 2,
                         "once on standard error and once in the log file")


if __name__ == "__main__":
    unittest.main(verbosity=2)

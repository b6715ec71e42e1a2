#!/usr/bin/python3
"""The shipped tools against real peers: qmbctl driving a server on a private bus, and the device
simulator answering an independent Modbus client (pymodbus) over TCP and both serial framings."""

import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bushost import DEVSIM, NAME, QMBCTL, QORMODBUS, Host, Sandbox, wait_until  # noqa: E402


class QmbctlTest(unittest.TestCase):
    def setUp(self):
        self.assertTrue(QMBCTL and QORMODBUS, "QMBCTL and QORMODBUS must be set")
        # The bus-started server finds its COM ports where the simulator links them.
        self.box = Sandbox(QORMODBUS_COMDIR="{dir}/com")
        self.addCleanup(self.box.close)
        self.box.register()

    def qmbctl(self, *args, timeout=30):
        return self.box.run([QMBCTL, "--bus", self.box.address, *args], timeout=timeout)

    def start_qmbctl(self, *args):
        """qmbctl running on; its output as text pipes."""
        process = self.box.start([QMBCTL, "--bus", self.box.address, *args],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.stderr.close)
        return process

    def simulator(self):
        """The device simulator on a Modbus/TCP port of its own and as RTU slave on COM3; the
        site keys of its Modbus/TCP side."""
        process = self.box.start(["/usr/bin/python3", DEVSIM, "--tcp", "0", "--com", "3"],
                                 stdout=subprocess.PIPE, text=True)
        port = re.search(r"127\.0\.0\.1:(\d+)", process.stdout.readline()).group(1)
        return ["DESCRIPTION=Sim", "BP3=TRUE", f"SP3=127.0.0.1:{port}"]

    def test_help_shows_tcp_serial_and_modem_examples(self):
        result = self.box.run([QMBCTL, "--help"])
        self.assertEqual(result.returncode, 0)
        self.assertRegex(result.stdout, r"qmbctl DESCRIPTION=\S+ BP3=TRUE SP3=")
        self.assertRegex(result.stdout, r"COMPORT=1 BAUDRATE=19200 BP2=TRUE")
        self.assertRegex(result.stdout, r"CONNECTIONTYPE=MODEM PHONENUMBER=")

    def test_outcomes_and_exit_status(self):
        result = self.qmbctl("DESCRIPTION=Quiet", "OFFLINE=TRUE")
        self.assertEqual((result.returncode, result.stdout), (0, "site open\n"), result.stderr)
        result = self.qmbctl("DESCRIPTION=Plant", "BP3=TRUE", "SP3=127.0.0.1", "open")
        self.assertEqual(result.returncode, 0, result.stderr)

        # A command the driver answers with FALSE: its COMMANDERROR on standard error, status 1,
        # and (not being a terminal) no progress output.
        result = self.qmbctl("DESCRIPTION=Quiet", "OFFLINE=TRUE", "SENDDATA")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr, "qmbctl: SENDDATA failed: Command not supported\n")
        self.assertEqual(result.stdout, "")
        # A result is printed one element per line; the whole reply with --raw.
        result = self.qmbctl("DESCRIPTION=Quiet", "OFFLINE=TRUE", "POINTVERIFY", "POINTNAME=Pump",
                             "POINTADDRESS=01-hreg0100")
        self.assertEqual((result.returncode, result.stdout),
                         (0, "POINTNAME=Pump\nPOINTADDRESS=1-HREG100\n\n"), result.stderr)
        result = self.qmbctl("DESCRIPTION=Quiet", "OFFLINE=TRUE", "--raw", "POINTVERIFY",
                             "POINTADDRESS=1-HREG1")
        self.assertEqual(result.stdout.splitlines()[:3],
                         ["COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", ""])
        result = self.qmbctl("DESCRIPTION=Quiet", "OFFLINE=TRUE", "POINTVERIFY",
                             "POINTADDRESS=1-HREG0")
        self.assertEqual(result.returncode, 1)
        self.assertIn("POINTVERIFY failed: Point addresses is invalid.", result.stderr)

        self.assertEqual(self.qmbctl("watch").returncode, 2)
        self.assertEqual(self.qmbctl("SENDDATA", "extra").returncode, 2)
        self.assertEqual(self.qmbctl("--timeout", "x").returncode, 2)
        result = self.box.run([QMBCTL, "--bus", "unix:path=" + self.box.dir + "/none", "open"])
        self.assertEqual(result.returncode, 3)
        self.assertIn("cannot reach the bus", result.stderr)
        # No session bus at all: said plainly, with the ways to one.
        env = {k: v for k, v in self.box.env.items() if k != "DBUS_SESSION_BUS_ADDRESS"}
        result = self.box.run([QMBCTL, "open"], env=env)
        self.assertEqual(result.returncode, 3)
        self.assertIn("no session bus is reachable (DBUS_SESSION_BUS_ADDRESS is not set)",
                      result.stderr)
        for way in ("dbus-run-session", "--bus ADDRESS", "--ssh USER@HOST"):
            self.assertIn(way, result.stderr)

    def test_gnu_options_named_mistakes_and_a_bridged_bus(self):
        result = self.box.run([QMBCTL, "--version"])
        self.assertRegex(result.stdout, r"^qmbctl \d+\.\d+\n$")
        result = self.qmbctl("--timeout=5", "DESCRIPTION=Quiet", "OFFLINE=TRUE")
        self.assertEqual((result.returncode, result.stdout), (0, "site open\n"), result.stderr)
        for args, named, listed in [(["DESCRIPTION=Quiet", "PORT=3"], "unknown site key PORT",
                                     "COMPORT"),
                                    (["DESCRIPTION=Quiet", "fly"], "unknown command fly",
                                     "POINTGETVALUE"),
                                    (["DESCRIPTION=Quiet", "raw", "0103xyz"], "raw needs", "hex"),
                                    # Values the driver would quietly replace by its defaults.
                                    (["DESCRIPTION=Q", "BAUDRATE=fast"], "BAUDRATE=fast is not",
                                     "would use 38400"),
                                    (["DESCRIPTION=Q", "IP2=7"], "IP2=7 is not the parity",
                                     "2 (even)"),
                                    (["DESCRIPTION=Q", "COMPORT=abc"], "COMPORT=abc is not",
                                     "1 for COM1"),
                                    (["DESCRIPTION=Q", "BP3=TRUE"], "SP3 is missing",
                                     "HOST:PORT"),
                                    (["DESCRIPTION=Q", "baudrate=9600"], "site key baudrate",
                                     "upper case (BAUDRATE)")]:
            result = self.qmbctl(*args)
            self.assertEqual(result.returncode, 2, args)
            self.assertIn(named, result.stderr)
            self.assertIn(listed, result.stderr)

        # A driver elsewhere is reached through a bridge to its bus (D-Bus's unixexec transport):
        # here socat to the private bus, given as the address, and as what "ssh" runs.
        bridge = "unix:path=" + self.box.dir + "/bus"
        escaped = "".join(c if c.isalnum() or c in "-_/.\\*" else "%%%02x" % ord(c)
                          for c in "UNIX-CONNECT:" + self.box.dir + "/bus")
        address = f"unixexec:path=socat,argv0=socat,argv1=STDIO,argv2={escaped}"
        result = self.box.run([QMBCTL, "--bus", address, "DESCRIPTION=Quiet", "OFFLINE=TRUE"])
        self.assertEqual((result.returncode, result.stdout), (0, "site open\n"), result.stderr)
        fake = os.path.join(self.box.dir, "bin")
        os.makedirs(fake)
        with open(os.path.join(fake, "ssh"), "w") as f:
            f.write(f"#!/bin/sh\n# {bridge}: stands in for ssh USER@HOST systemd-stdio-bridge\n"
                    f"exec socat STDIO UNIX-CONNECT:{self.box.dir}/bus\n")
        os.chmod(os.path.join(fake, "ssh"), 0o755)
        env = dict(self.box.env, PATH=fake + os.pathsep + os.environ["PATH"])
        result = self.box.run([QMBCTL, "--ssh=operator@plant", "DESCRIPTION=Quiet",
                               "OFFLINE=TRUE"], env=env)
        self.assertEqual((result.returncode, result.stdout), (0, "site open\n"), result.stderr)

    def test_the_readmes_python_host_runs(self):
        with open(os.path.join(os.path.dirname(__file__), "..", "..", "..", "README.md")) as f:
            example = re.search(r"```python\n(.*?)```", f.read(), re.S).group(1)
        self.assertLessEqual(len(example.splitlines()), 20)
        port = self.simulator()[2].rsplit(":", 1)[1]
        env = dict(self.box.env, PYTHONPATH="")
        result = self.box.run(["/usr/bin/python3", "-c", example.replace("15020", port)],
                              env=env, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        opened, read = result.stdout.splitlines()
        self.assertIn("'COMMANDSTATUS=TRUE'", opened)
        self.assertIn("'VALUE=1111'", read)

    def test_typed_write_then_read_back_each_type(self):
        site = self.simulator()
        rows = [  # address, value written, as printed
            ("HREG20", "4321", "4321"),
            ("HREG21,0,16,INT", "-2", "-2"),
            ("HREG22,0,32,FLOAT,CDAB", "0.1", "0.1"),  # a float's shortest text, not its double's
            ("HREG24,0,64,DOUBLE", "1e-300", "1e-300"),
            ("HREG28,0,32,DINT", "-123456", "-123456"),
            ("HREG30,0,64,LWORD", "18446744073709551615", "18446744073709551615"),
            ("HREG34,0,64,LINT,DCBA", "-9223372036854775808", "-9223372036854775808"),
            ("HREG38,0,32,DWORD", "4000000000", "4000000000"),
            ("HREG40,0,64,STRING", "Pump 1", "Pump 1"),
            ("HREG44,0,32,FLOAT", "-Infinity", "-Infinity"),
            ("OUT7", "ON", "true"),
        ]
        result = self.qmbctl(*site, "write", *[f"{a}={v}" for a, v, _ in rows])
        self.assertEqual((result.returncode, result.stdout),
                         (0, "".join(f"written: {a}={p}\n" for a, _, p in rows)), result.stderr)
        fixed = [("HREG4", "1111"), ("HREG4,8,8,BYTE", "4"), ("HREG4,0,1,BOOL", "true")]
        result = self.qmbctl(*site, "read", *[a for a, _, _ in rows], *[a for a, _ in fixed])
        self.assertEqual((result.returncode, result.stdout.splitlines()),
                         (0, [f"{a}={p}" for a, _, p in rows] + [f"{a}={v}" for a, v in fixed]),
                         result.stderr)
        # The serial keys open an RTU site; the same slave read as ASCII gives no reply. A point
        # the device refuses is named on standard error, the others still printed.
        for args, status, out, err in [
                (site + ["read", "HREG4", "HREG300"], 1, "HREG4=1111\n",
                 "HREG300: unit 255 answered with exception 2 (Illegal Data Address)\n"),
                (["DESCRIPTION=Line", "COMPORT=3", "BP2=TRUE", "BAUDRATE=38400", "IP1=1", "IP2=0",
                  "read", "1-HREG5"], 0, "1-HREG5=2222\n", ""),
                (["DESCRIPTION=Line2", "COMPORT=3", "--timeout", "10", "read", "1-HREG5"], 1, "",
                 "1-HREG5: no usable reply from slave 1\n")]:
            with self.subTest(args=args):
                result = self.qmbctl(*args)
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (status, out, err))

    def test_typed_refusals_name_their_cause_and_send_nothing(self):
        site = self.simulator()
        self.assertEqual(self.qmbctl(*site, "write", "HREG50=9").returncode, 0)
        for args, status, text in [
                (["write", "HREG50=1", "HREG51=70000"], 2,
                 'HREG51: "70000" is not a whole number from 0 to 65535 (nothing was written)'),
                (["write", "HREG50=1", "HREG52,0,32,FLOAT=1e39"], 2, "out of range for FLOAT"),
                (["write", "HREG50=1", "OUT3=maybe"], 2, '"maybe" is not true or false'),
                (["write", "HREG50=1", "HREG51,0,16,INT=-32769"], 2, "from -32768 to 32767"),
                (["write", "HREG50=1", "IREG1=5"], 2, 'point "IREG1" is an input'),
                (["write", "HREG50"], 2, 'write takes POINT=VALUE, not "HREG50"'),
                (["read", "HREG"], 2, 'read: point "HREG": no point number'),
                (["read", "HREG4", "POLLMODE=FAST"], 2, "site keys go before the command"),
                (["--max-age", "10", "write", "HREG50=1"], 2, "--max-age goes with read only"),
                (["--point", "HREG4", "subscribe", "HREG4"], 2, "subscribe takes its points"),
                (["OFFLINE=TRUE", "read", "HREG4"], 2, "site key OFFLINE has no option"),
                (["COMPORT=2", "read", "HREG4"], 2, "site key COMPORT is for a serial site"),
                (["PHONENUMBER=5", "read", "HREG4"], 2, "PHONENUMBER is for a modem site")]:
            with self.subTest(args=args):
                result = self.qmbctl(*site, *args)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(text, result.stderr)
        for args, status, text in [
                (["DESCRIPTION=Nowhere", "read", "HREG4"], 2, "describe its link with BP3=TRUE"),
                (["DESCRIPTION=X", "SP3=127.0.0.1", "read", "HREG4"], 2, "for a Modbus/TCP site"),
                (["DESCRIPTION=Dead", "BP3=TRUE", "SP3=127.0.0.1:1", "read", "HREG4"], 1,
                 "HREG4: the link could not carry the request (no connection)")]:
            with self.subTest(args=args):
                result = self.qmbctl(*args)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(text, result.stderr)
        self.assertEqual(self.qmbctl(*site, "read", "HREG50").stdout, "HREG50=9\n")

    def test_subscribe_prints_every_point_then_changes(self):
        site = self.simulator()
        result = self.qmbctl(*site, "subscribe", "--count", "2", "HREG3", "HREG4")
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = [re.fullmatch(r"\d\d:\d\d:\d\d (\S+)=(\d+)", line).groups()
                 for line in result.stdout.splitlines()]
        # The first report carries both points, the second the ramp's step alone.
        first = dict(lines[:2])
        self.assertEqual((sorted(first), first["HREG4"]), (["HREG3", "HREG4"], "1111"))
        self.assertEqual((len(lines), lines[2][0]), (3, "HREG3"))
        self.assertNotEqual(first["HREG3"], lines[2][1])

        # Ctrl-C ends a subscription with 130 after closing it; meanwhile the description alone
        # joins the site it holds open.
        process = self.start_qmbctl("--verbose", *site, "subscribe", "--interval", "0.2", "HREG3")
        self.assertRegex(process.stdout.readline(), r"HREG3=\d+$")
        result = self.qmbctl("DESCRIPTION=sim", "read", "HREG4")
        self.assertEqual((result.returncode, result.stdout), (0, "HREG4=1111\n"), result.stderr)
        process.send_signal(signal.SIGINT)
        self.assertEqual(process.wait(10), 130)
        self.assertRegex(process.stderr.read(),
                         r"/sub/\d+ QorModBus\.Modbus1\.Subscription\.Close\n.*"
                         r"/site/\d+ QorModBus\.Modbus1\.Site\.Close")

    def test_subscribe_options_bad_points_and_a_server_that_leaves(self):
        site = self.simulator()
        for args, counts, printed in [
                # A deadband wider than the ramp: the first report alone, a refused point in it.
                (["--seconds", "1.5", "--deadband", "5000", "HREG3", "HREG300"], (2, 2),
                 r"HREG3=\d+|HREG300: unit 255 answered with exception 2 \(Illegal Data Address\)"),
                # A report every 0.5 s at the most, where the default gives one every 0.1 s.
                (["--seconds", "2", "--interval", "0.5", "HREG3"], (2, 5), r"HREG3=\d+")]:
            with self.subTest(args=args):
                result = self.qmbctl(*site, "subscribe", *args)
                self.assertEqual(result.returncode, 0, result.stderr)
                lines = result.stdout.splitlines()
                self.assertTrue(counts[0] <= len(lines) <= counts[1], lines)
                for line in lines:
                    self.assertRegex(line, rf"^\d\d:\d\d:\d\d ({printed})$")
        # The server going away ends a subscription with status 3.
        process = self.start_qmbctl(*site, "subscribe", "HREG3")
        self.assertRegex(process.stdout.readline(), r"HREG3=\d+$")
        os.kill(self.box.server_pid(), signal.SIGTERM)
        self.assertEqual(process.wait(10), 3)
        self.assertIn("subscribe: the driver server left the bus", process.stderr.read())

    def test_a_driver_object_introspects_with_its_methods(self):
        host = Host(self.box.connect())
        result = self.box.run(["busctl", f"--address={self.box.address}", "introspect",
                               "--xml-interface", NAME, str(host.path)])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn('<method name="ExecuteCommand">', result.stdout)
        self.assertIn('<arg type="v" name="params" direction="in"/>', result.stdout)


class DevsimTest(unittest.TestCase):
    def setUp(self):
        self.assertTrue(DEVSIM, "QMB_DEVSIM must be set")
        self.dir = tempfile.mkdtemp(prefix="qmb-devsim-")
        self.comdir = os.path.join(self.dir, "com")

    def tearDown(self):
        import shutil
        shutil.rmtree(self.dir, ignore_errors=True)

    def start(self, *args):
        env = dict(os.environ, QORMODBUS_COMDIR=self.comdir)
        process = subprocess.Popen(["/usr/bin/python3", DEVSIM, *args], env=env,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: process.poll() is None and (process.kill(), process.wait(5)))
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.stderr.close)
        return process, process.stdout.readline()

    def test_tcp_and_serial_framings_serve_changing_and_writable_points(self):
        from pymodbus.client import ModbusSerialClient, ModbusTcpClient
        from pymodbus.transaction import ModbusAsciiFramer, ModbusRtuFramer

        for name, framer in (("rtu", ModbusRtuFramer), ("ascii", ModbusAsciiFramer)):
            with self.subTest(framer=name):
                process, ready = self.start("--tcp", "0", "--com", "4", "--framer", name)
                match = re.search(r"tcp=127\.0\.0\.1:(\d+) com=COM4:" + name, ready)
                self.assertIsNotNone(match, ready)
                link = os.path.join(self.comdir, "COM4")
                self.assertTrue(os.readlink(link).startswith("/dev/pts/"))

                tcp = ModbusTcpClient("127.0.0.1", port=int(match.group(1)), timeout=3)
                self.assertTrue(tcp.connect())
                # Unit 255 is what the driver sends over TCP.
                first = tcp.read_holding_registers(2, 1, slave=255).registers[0]
                self.assertTrue(wait_until(
                    lambda: tcp.read_holding_registers(2, 1, slave=255).registers[0] != first, 3))
                self.assertFalse(tcp.write_register(19, 4321, slave=255).isError())
                self.assertFalse(tcp.write_coil(1, True, slave=255).isError())
                self.assertTrue(wait_until(
                    lambda: not tcp.read_discrete_inputs(1, 1, slave=255).bits[0], 2))
                tcp.close()

                serial = ModbusSerialClient(port=link, framer=framer, baudrate=38400, timeout=2)
                self.assertTrue(serial.connect())
                reply = serial.read_holding_registers(19, 1, slave=1)
                self.assertFalse(reply.isError(), reply)
                self.assertEqual(reply.registers, [4321])  # the write over TCP, read over serial
                self.assertEqual(serial.read_holding_registers(3, 1, slave=17).registers, [1111])
                writes = serial.read_input_registers(1, 1, slave=1).registers[0]
                self.assertEqual(writes, 2)
                serial.close()

                process.terminate()
                self.assertEqual(process.wait(10), 0)
                self.assertFalse(os.path.lexists(link))

    def test_verbose_logs_each_request_with_its_reply_and_help_shows_the_map(self):
        from pymodbus.client import ModbusTcpClient

        process, ready = self.start("--tcp", "0", "--verbose")
        tcp = ModbusTcpClient("127.0.0.1", port=int(ready.strip().rsplit(":", 1)[1]), timeout=3)
        self.assertTrue(tcp.connect())
        self.assertEqual(tcp.read_holding_registers(3, 2, slave=1).registers, [1111, 2222])
        self.assertFalse(tcp.write_register(19, 1234, slave=7).isError())
        self.assertTrue(tcp.read_holding_registers(299, 1, slave=1).isError())
        tcp.close()  # a client that hangs up is normal use: nothing to log
        time.sleep(0.3)
        process.terminate()
        self.assertEqual(process.wait(10), 0)
        self.assertEqual(process.stderr.read().splitlines(), [
            "qmb-devsim: unit 1 read HREG4-5 -> 1111 2222",
            "qmb-devsim: unit 7 write HREG20 <- 1234 -> done",
            "qmb-devsim: unit 1 read HREG300 -> exception 2 (IllegalAddress)"])

        result = subprocess.run(["/usr/bin/python3", DEVSIM, "--help"], capture_output=True,
                                text=True, timeout=30)
        for shown in ("HREG4-9 fixed: 1111", "IN2     the opposite of OUT2", "--verbose",
                      "qmb-devsim --tcp 1502"):
            self.assertIn(shown, result.stdout)

    def test_a_paced_line_takes_at_least_the_wire_time_of_each_exchange(self):
        from pymodbus.client import ModbusSerialClient
        from pymodbus.transaction import ModbusRtuFramer

        process, ready = self.start("--com", "4", "--paced", "--baud", "9600")
        self.assertIn("com=COM4:rtu", ready)
        serial = ModbusSerialClient(port=os.path.join(self.comdir, "COM4"), framer=ModbusRtuFramer,
                                    baudrate=9600, timeout=3)
        self.assertTrue(serial.connect())
        started = time.monotonic()
        for _ in range(4):
            self.assertEqual(serial.read_holding_registers(3, 50, slave=1).registers[:2],
                             [1111, 2222])
        # A floor, not a timing target: 8 request and 105 reply characters of 11 bits each.
        self.assertGreaterEqual(time.monotonic() - started, 4 * (8 + 105) * 11 / 9600)
        serial.close()

    def test_refuses_to_replace_a_file_that_is_not_its_link(self):
        os.makedirs(self.comdir)
        with open(os.path.join(self.comdir, "COM2"), "w") as f:
            f.write("keep me")
        process, _ = self.start("--com", "2")
        self.assertNotEqual(process.wait(10), 0)
        self.assertIn("not a link", process.stderr.read())
        with open(os.path.join(self.comdir, "COM2")) as f:
            self.assertEqual(f.read(), "keep me")


if __name__ == "__main__":
    unittest.main(verbosity=2)

#!/usr/bin/python3
"""Faults of serial lines and modems against the real server on a private bus: scripted slaves
on pseudo-terminals (linked as COM<n> where the server looks for them) that close their end
mid-reply, answer in pieces, behind a stale reply or with a burst of garbage, and a simulated
modem that drops its carrier. For every fault the server lives on, says so once in its log, and
a second site on another line with its own host goes on reading throughout."""

import os
import re
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bushost import QORMODBUS, Host, Sandbox, SerialDevice, pid_alive, wait_until  # noqa: E402

MODEM_SIM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tools",
                         "modem_sim.py")
FRAMINGS = [("rtu", ["BP2=TRUE"], False), ("ascii", [], True)]


class SerialFaultMatrixTest(unittest.TestCase):
    def setUp(self):
        self.assertTrue(QORMODBUS, "QORMODBUS must be set")
        # The rows count log lines: info and above, whatever level the suite runs with.
        self.box = Sandbox(QORMODBUS_COMDIR="{dir}/com", QORMODBUS_LOGLEVEL="info")
        self.addCleanup(self.box.close)
        self.box.register()
        self.comdir = os.path.join(self.box.dir, "com")
        # The neighbour: a healthy RTU slave on its own line, polled by its own host.
        self.healthy = self.device(9, ascii=False, value=1111)
        self.neighbour = Host(self.box.connect())
        self.assertEqual(self.neighbour.open_site("DESCRIPTION=Healthy", "COMPORT=9",
                                                  "BP2=TRUE")[0], "COMMANDSTATUS=TRUE")
        self.assertEqual(self.neighbour.run("COMMAND=SENDPOINTSLIST", "POINT0={n}{1-HREG7}")[0],
                         "COMMANDSTATUS=TRUE")
        self.server = self.box.server_pid()

    def device(self, number, **kwargs):
        device = SerialDevice(self.comdir, number, **kwargs)
        self.addCleanup(device.close)
        return device

    def faulty_site(self, description, number, keys):
        host = Host(self.box.connect())
        self.assertEqual(host.open_site(f"DESCRIPTION={description}", f"COMPORT={number}",
                                        *keys)[0], "COMMANDSTATUS=TRUE")
        return host

    def read(self, host, address="1-HREG1"):
        return host.run("COMMAND=POINTGETVALUE", f"POINT={{x}}{{{address}}}")

    def assert_neighbour_reads(self):
        """The other site answers a read now and its polled value is there; the server lives."""
        self.assertTrue(pid_alive(self.server))
        read = self.read(self.neighbour, "1-HREG2")
        self.assertEqual(read[3:4], ["VALUE=1111"], read)
        listed = self.neighbour.run("COMMAND=GETPOINTSLIST")
        self.assertIn("POINT0={1-HREG7}{VALUE=1111}", listed)

    def site_lines(self, description, level=r"(?:warning|error)"):
        """The server's log lines about one site at these levels (standard error only: the log
        file holds the same lines)."""
        with open(self.box.daemon_log_path, "rb") as f:
            text = f.read().decode(errors="replace")
        return [line for line in text.splitlines()
                if re.search(level, line, re.I) and f'Site "{description}"' in line]

    def test_replies_in_pieces_or_behind_a_stale_one_are_the_reply(self):
        for number, (name, keys, ascii) in enumerate(FRAMINGS, start=2):
            device = self.device(number, ascii=ascii, value=0)
            host = self.faulty_site(f"Pieces {name}", number, keys)
            whole = len(device.frame(bytes([1, 3, 0, 0, 0, 1]), 0))
            faults = (["bytewise", "stale-first"] +
                      [("split", k) for k in range(1, whole)])
            for value, fault in enumerate(faults, start=500):
                with self.subTest(framing=name, fault=fault):
                    device.value, device.stale, device.fault = value, value - 100, fault
                    read = self.read(host)
                    self.assertEqual((read[0], read[3]), ("COMMANDSTATUS=TRUE", f"VALUE={value}"))
            # Polling takes the pieces too.
            device.fault = "bytewise"
            self.assertEqual(host.run("COMMAND=SENDPOINTSLIST", "POINT0={p}{1-HREG1}")[0],
                             "COMMANDSTATUS=TRUE")
            self.assertTrue(wait_until(
                lambda: f"POINT0={{1-HREG1}}{{VALUE={device.value}}}" in host.run(
                    "COMMAND=GETPOINTSLIST"), 5))
            self.assert_neighbour_reads()
            self.assertEqual(self.site_lines(f"Pieces {name}"), [])
            host.release()

    def test_garbage_bursts_fail_one_read_and_the_next_reply_counts(self):
        for number, (name, keys, ascii) in enumerate(FRAMINGS, start=2):
            with self.subTest(framing=name):
                description = f"Garbage {name}"
                device = self.device(number, ascii=ascii, value=4321, fault="garbage")
                host = self.faulty_site(description, number, keys)
                points = ("COMMAND=SENDPOINTSLIST", "POINT0={p}{1-HREG1}")
                self.assertEqual(host.run(*points)[0], "COMMANDSTATUS=TRUE")
                # A read meets the garbage, and polling goes on meeting it while the neighbour
                # reads.
                self.assertEqual(self.read(host, "1-HREG3")[:2], [
                    "COMMANDSTATUS=FALSE", "COMMANDERROR=Could not read data from panel."])
                self.assert_neighbour_reads()
                # Three failed polls leave the point out of polling.
                self.assertTrue(wait_until(lambda: device.requests >= 4, 10), device.requests)
                self.assert_neighbour_reads()
                device.fault = None
                self.assertEqual(self.read(host)[3], "VALUE=4321")
                self.assertEqual(host.run(*points)[0], "COMMANDSTATUS=TRUE")
                self.assertTrue(wait_until(
                    lambda: "POINT0={1-HREG1}{VALUE=4321}" in host.run("COMMAND=GETPOINTSLIST"), 5))
                self.assertEqual([line.split(": ", 2)[-1] for line in self.site_lines(description)],
                                 ["no usable reply from the device"])
                host.release()

    def test_far_end_closed_mid_reply_and_back_on_a_new_line(self):
        for number, (name, keys, ascii) in enumerate(FRAMINGS, start=2):
            with self.subTest(framing=name):
                description = f"Closed {name}"
                device = self.device(number, ascii=ascii, value=2468)
                host = self.faulty_site(description, number, keys)
                self.assertEqual(host.run("COMMAND=SENDPOINTSLIST", "POINT0={p}{1-HREG1}")[0],
                                 "COMMANDSTATUS=TRUE")
                self.assertTrue(wait_until(
                    lambda: "POINT0={1-HREG1}{VALUE=2468}" in host.run("COMMAND=GETPOINTSLIST"), 5))
                device.fault = "close"
                self.assertTrue(wait_until(lambda: host.run("COMMAND=SITESTATUS")[3:][4]
                                           .startswith("Port down, reopening: "), 5))
                self.assert_neighbour_reads()
                self.assertEqual(self.read(host)[0], "COMMANDSTATUS=FALSE")
                # Three seconds down: reopen attempts at 1 s and 2 s later, none logged again.
                time.sleep(3)
                self.assert_neighbour_reads()
                device.fault, device.value = None, 1357
                device.revive()
                self.assertTrue(wait_until(
                    lambda: "POINT0={1-HREG1}{VALUE=1357}" in host.run("COMMAND=GETPOINTSLIST"), 10))
                self.assertEqual(self.read(host)[3], "VALUE=1357")
                # Said once: the failure, the reopen's reason, the recovery; the failed read
                # names the port as its cause.
                lines = self.site_lines(description, "info|warning|error")
                for part in ["serial port failed: ", "reopening COM", "reopened after",
                             f"Cannot send: COM{number} is not open"]:
                    self.assertEqual(len([line for line in lines if part in line]), 1,
                                     (part, lines))
                host.release()

    def test_modem_carrier_dropped_mid_session(self):
        modem = self.box.start(["/usr/bin/python3", MODEM_SIM, "--dir", self.comdir, "--port", "4",
                                "--slave", "3333", "--lifetime", "120"],
                               stdout=subprocess.PIPE, text=True)
        self.assertIn("ready", modem.stdout.readline())
        description = "Dial-up"
        host = Host(self.box.connect())
        self.assertEqual(host.open_site(f"DESCRIPTION={description}", "CONNECTIONTYPE=MODEM",
                                        "COMPORT=4", "PHONENUMBER=5551234", "BP2=TRUE")[0],
                         "COMMANDSTATUS=TRUE")
        self.assertEqual(host.run("COMMAND=SENDPOINTSLIST", "POINT0={p}{1-HREG1}")[0],
                         "COMMANDSTATUS=TRUE")
        polled = "POINT0={1-HREG1}{VALUE=3333}"
        self.assertTrue(wait_until(lambda: polled in host.run("COMMAND=GETPOINTSLIST"), 5))

        modem.send_signal(signal.SIGUSR1)  # the carrier goes: NO CARRIER, command mode
        self.assertTrue(wait_until(
            lambda: "Offline" in host.run("COMMAND=SITESTATUS"), 5))
        self.assert_neighbour_reads()
        # The next command dials again, and its read goes through the new call.
        self.assertEqual(self.read(host)[3], "VALUE=3333")
        self.assertNotIn("Offline", host.run("COMMAND=SITESTATUS"))
        self.assert_neighbour_reads()
        lost = [line for line in self.site_lines(description) if "modem call is lost" in line]
        self.assertEqual(len(lost), 1, self.site_lines(description, "info|warning|error"))
        host.release()


if __name__ == "__main__":
    unittest.main(verbosity=2)

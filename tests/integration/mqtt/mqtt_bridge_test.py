#!/usr/bin/python3
"""The MQTT bridge from outside: qormodbus --mqtt FILE against a mosquitto broker of the test's
own and the device simulator, heard by a paho subscriber. Values and states published and
retained, the last will, writes through /set, the broker going away and coming back, two servers
on one broker, TLS with a test CA, and a bad configuration file."""

import json
import math
import os
import re
import signal
import sys
import time
import unittest
from datetime import datetime, timedelta, timezone

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bus"))
from bushost import Sandbox  # noqa: E402
from live_values_test import SimulatorCase  # noqa: E402
from mqttpeers import (QORMODBUS, BridgeServer, Broker, Device, Subscriber,  # noqa: E402
                       TestCA, bridge_config, reading, tcp_site, tls_trusts, wait_until)

SITE = "s"


def value_of(payload):
    return json.loads(payload)["value"]


class BridgeCase(SimulatorCase):
    """A broker, the simulator and a direct client of it, beside the private bus."""

    tls = False
    users = None

    def setUp(self):
        super().setUp()
        self.broker = Broker(tls=self.tls, users=self.users)
        self.addCleanup(self.broker.close)
        self.simulator_process = self.simulator("--tcp", "0")
        self.port = int(self.simulator_process.ready.strip().rsplit(":", 1)[1])
        self.device = Device(self.port)
        self.addCleanup(self.device.close)

    def subscriber(self):
        subscriber = Subscriber(self.broker.port)
        self.addCleanup(subscriber.close)
        return subscriber

    def bridge(self, points, node="a", box=None, url=None, interval_ms=100, **broker):
        """A server bridging one site of the simulator ("s") with these points."""
        url = url or f"mqtt://127.0.0.1:{self.broker.port}"
        text = bridge_config(url, node, [(SITE, tcp_site(self.port, interval_ms), points)],
                             **broker)
        return BridgeServer(box or self.box, text, name=f"bridge-{node}")

    def assertOnline(self, subscriber, server, node="a", limit=10.0):
        """The node's `online` is heard (the server's log tells why not; a server that ended
        fails at once)."""
        topic = f"qormodbus/{node}/$state"
        wait_until(lambda: "online" in subscriber.payloads(topic) or
                   server.process.poll() is not None, limit)
        self.assertIn("online", subscriber.payloads(topic), server.log())

    def assertHeard(self, subscriber, topics, limit=5.0):
        self.assertTrue(wait_until(lambda: all(subscriber.messages(t) for t in topics), limit),
                        f"missing: {[t for t in topics if not subscriber.messages(t)]}")


class PublishingTest(BridgeCase):
    def test_values_are_typed_retained_and_reported_by_exception(self):
        self.device.set_registers(21, 65534)
        self.device.set_float(22, 21.5)
        self.device.set_float(24, math.nan)
        self.device.set_text(40, "Pump 1", 4)
        rows = [  # point, address, deadband, check of its value, keys beside value/ts/quality
            ("ramp", "HREG3", 0, lambda v: type(v) is int and 0 <= v <= 999, set()),
            ("banded", "HREG3", 50, lambda v: type(v) is int, set()),
            ("fixed", "HREG4", 0, lambda v: type(v) is int and v == 1111, set()),
            ("coil", "OUT1", 0, lambda v: type(v) is bool, set()),
            ("signed", "HREG21,0,16,INT", 0, lambda v: type(v) is int and v == -2, set()),
            ("float", "HREG22,0,32,FLOAT", 0, lambda v: type(v) is float and v == 21.5, set()),
            ("nan", "HREG24,0,32,FLOAT", 0, lambda v: v is None, set()),
            ("text", "HREG40,0,64,STRING", 0, lambda v: v == "Pump 1", set()),
            ("refused", "HREG300", 0, lambda v: v is None, {"error"}),
        ]
        live = self.subscriber()
        server = self.bridge([(n, a, {"deadband": d} if d else {}) for n, a, d, _, _ in rows])
        topic = lambda name: f"qormodbus/a/{SITE}/{name}"  # noqa: E731
        self.assertOnline(live, server)
        self.assertHeard(live, [topic(n) for n, *_ in rows])
        time.sleep(2.0)
        late = self.subscriber()
        self.assertHeard(late, [topic(n) for n, *_ in rows], limit=3)
        now = datetime.now(timezone.utc)
        for name, _, _, check, extra in rows:
            with self.subTest(point=name):
                _, payload, retained = late.messages(topic(name))[0]  # live ones may follow
                self.assertTrue(retained, payload)
                message = reading(payload)
                self.assertEqual(set(message), {"value", "ts", "quality"} | extra, payload)
                self.assertTrue(check(message["value"]), payload)
                self.assertEqual(message["quality"], 0 if extra else 192, payload)
                self.assertLess(abs(message["ts"] - now), timedelta(seconds=10), payload)
        self.assertIn("exception 2", reading(late.messages(topic("refused"))[0][1])["error"])
        # Only changes: the ramp at every read, the fixed register once, a deadband of 50 on a
        # ramp of ten a second only when it wraps.
        ramp, banded = ([value_of(p) for p in live.payloads(topic(n))] for n in ("ramp", "banded"))
        self.assertGreaterEqual(len(ramp), 8, ramp)
        self.assertTrue(all(a != b for a, b in zip(ramp, ramp[1:])), ramp)
        self.assertLessEqual(len(banded), 3, banded)
        self.assertTrue(all(abs(a - b) > 50 for a, b in zip(banded, banded[1:])), banded)
        self.assertEqual(len(live.payloads(topic("fixed"))), 1)
        coil = [value_of(p) for p in live.payloads(topic("coil"))]
        self.assertTrue(len(coil) >= 2 and all(a != b for a, b in zip(coil, coil[1:])), coil)
        self.assertEqual(late.payloads(f"qormodbus/a/{SITE}/$state"), ["online"])
        self.assertIn(f"mqtt: connected to 127.0.0.1:{self.broker.port} as qormodbus-a",
                      server.log())

    def test_the_node_goes_offline_when_the_server_ends_or_is_killed(self):
        live = self.subscriber()
        for node, how, status in [("killed", signal.SIGKILL, -signal.SIGKILL),
                                  ("stopped", signal.SIGTERM, 0)]:
            with self.subTest(how=how):
                state = f"qormodbus/{node}/$state"
                server = self.bridge([("fixed", "HREG4", {})], node=node)
                self.assertOnline(live, server, node)
                self.assertTrue(live.wait(f"qormodbus/{node}/{SITE}/$state",
                                          lambda p: p == "online"), server.log())
                self.assertEqual(server.stop(how), status, server.log())
                self.assertEqual(live.wait(state, lambda p: p == "offline"), "offline")
                # A clean stop ends with a DISCONNECT, so the broker drops the will: the
                # bridge's own "offline" is the only one (a second would come from the will).
                gone = f"Client qormodbus-{node} (disconnected|closed its connection)"
                self.assertTrue(wait_until(lambda: re.search(gone, self.broker.log()), 3))
                time.sleep(0.3)
                self.assertEqual(live.payloads(state), ["online", "offline"])
                self.assertEqual(f"Received DISCONNECT from qormodbus-{node}" in
                                 self.broker.log(), how == signal.SIGTERM, self.broker.log())
                late = self.subscriber()
                self.assertIsNotNone(late.wait(state, limit=2))
                self.assertEqual(late.messages(state), [(state, "offline", True)])

    def test_two_servers_on_their_own_buses_share_a_broker(self):
        other = Sandbox()
        self.addCleanup(other.close)
        subscriber = self.subscriber()
        servers = [self.bridge([("fixed", "HREG4", {})], node="a"),
                   self.bridge([("fixed", "HREG4", {})], node="b", box=other)]
        for node, server in zip("ab", servers):
            with self.subTest(node=node):
                self.assertOnline(subscriber, server, node)
                self.assertIsNotNone(subscriber.wait(f"qormodbus/{node}/{SITE}/fixed",
                                                     lambda p: value_of(p) == 1111))
        # Each client id is its own: neither pushed the other off the broker.
        time.sleep(1.0)
        for node in "ab":
            self.assertEqual(subscriber.payloads(f"qormodbus/{node}/$state"), ["online"])


class WriteTest(BridgeCase):
    def test_set_writes_writable_points_and_answers_on_result(self):
        for number in range(50, 56):
            self.device.set_registers(number, 7)
        self.device.set_float(60, 0.0)
        self.device.set_coil(5, False)
        self.device.set_coil(6, False)
        rows = [  # point, address, writable, payload, retained, result, where to read it back
            ("reg", "HREG50", True, "1234", False, "ok", ("registers", 50, [1234])),
            ("json", "HREG51", True, '{"value": 4321}', False, "ok", ("registers", 51, [4321])),
            ("coil", "OUT5", True, "true", False, "ok", ("coil", 5, True)),
            ("float", "HREG60,0,32,FLOAT", True, "2.5", False, "ok", ("float", 60, 2.5)),
            ("readonly", "HREG52", False, "77", False, "not writable", ("registers", 52, [7])),
            ("word", "HREG53", True, "abc", False, "refused", ("registers", 53, [7])),
            ("range", "HREG54", True, "70000", False, "refused", ("registers", 54, [7])),
            ("bit", "OUT6", True, "maybe", False, "refused", ("coil", 6, False)),
            # A retained command would write again at every reconnect: it is left alone.
            ("retained", "HREG55", True, "99", True, None, ("registers", 55, [7])),
        ]
        topic = lambda name: f"qormodbus/a/{SITE}/{name}"  # noqa: E731
        live = self.subscriber()
        for name, _, _, payload, retained, _, _ in rows:
            if retained:
                live.publish(topic(name) + "/set", payload, retain=True)
        server = self.bridge([(n, a, {"writable": w}) for n, a, w, *_ in rows])
        self.assertOnline(live, server)
        self.assertHeard(live, [topic(n) for n, *_ in rows])
        unknown = [f"qormodbus/a/{SITE}/nosuch/set", "qormodbus/a/nosite/reg/set"]
        for name, _, _, payload, retained, _, _ in rows:
            if not retained:
                live.publish(topic(name) + "/set", payload)
        for other in unknown * 2:
            live.publish(other, "5")
        answered = [topic(n) + "/set/result" for n, *_, result, _ in rows if result]
        self.assertHeard(live, answered)
        time.sleep(0.5)  # for results that should not come
        for name, _, _, payload, _, result, (kind, number, expected) in rows:
            with self.subTest(point=name):
                results = live.payloads(topic(name) + "/set/result")
                if result in (None, "ok"):
                    self.assertEqual(results, [result] if result else [])
                else:  # an error text, once; the reason where the contract names it
                    self.assertEqual(len(results), 1, results)
                    self.assertNotIn(results[0], ("ok", ""))
                    self.assertIn("" if result == "refused" else result, results[0])
                self.assertEqual(getattr(self.device, kind)(number), expected)
                if result == "ok":  # the written value is read and published
                    value = expected[0] if isinstance(expected, list) else expected
                    self.assertTrue(live.wait(topic(name), lambda p: value_of(p) == value),
                                    live.payloads(topic(name)))
        for other in unknown:
            self.assertEqual(live.messages(other + "/result"), [])
        log = server.log()
        self.assertIn(topic("retained") + "/set", log)
        for other in unknown:  # logged once, however often it comes
            self.assertEqual(len([line for line in log.splitlines() if other in line]), 1, log)


class AwayTest(BridgeCase):
    def test_the_latest_of_each_changed_point_follows_the_brokers_return(self):
        self.device.set_registers(70, 1, 1)
        server = self.bridge([("held", "HREG70", {}), ("other", "HREG71", {}),
                              ("fixed", "HREG4", {})])
        topic = lambda name: f"qormodbus/a/{SITE}/{name}"  # noqa: E731
        before = self.subscriber()
        self.assertOnline(before, server)
        self.assertHeard(before, [topic("held"), topic("other"), topic("fixed")])
        self.broker.stop()
        for value in (10, 20, 30):
            self.device.set_registers(70, value)
            time.sleep(0.4)  # several reads of the site (every 100 ms) see each value
        self.device.set_registers(71, 5)
        time.sleep(0.4)
        self.broker.start()  # same port, nothing retained
        after = Subscriber(self.broker.port)
        self.addCleanup(after.close)
        self.assertOnline(after, server, limit=12)
        time.sleep(1.0)
        heard = after.messages()
        # The subscriber was there before the bridge came back: everything came live.
        self.assertFalse(any(retained for _, _, retained in heard), heard)
        self.assertEqual([value_of(p) for p in after.payloads(topic("held"))], [30], heard)
        self.assertEqual([value_of(p) for p in after.payloads(topic("other"))], [5], heard)
        self.assertEqual(after.payloads(topic("fixed")), [], heard)
        order = [t for t, _, _ in heard]
        self.assertEqual(order[:2], ["qormodbus/a/$state", f"qormodbus/a/{SITE}/$state"], heard)
        self.assertEqual(after.payloads(f"qormodbus/a/{SITE}/$state"), ["online"], heard)
        log = server.log()
        self.assertRegex(log, r"mqtt: connection lost \(.+\); next attempt in \d+ s")
        self.assertEqual(log.count(f"mqtt: connected to 127.0.0.1:{self.broker.port} as "
                                   "qormodbus-a"), 2, log)

    def test_a_device_away_is_one_bad_reading_then_good_again(self):
        topic = f"qormodbus/a/{SITE}/fixed"
        live = self.subscriber()
        server = self.bridge([("fixed", "HREG4", {})], interval_ms=200)
        self.assertOnline(live, server)
        self.assertIsNotNone(live.wait(topic))
        self.simulator_process.terminate()
        self.simulator_process.wait(5)
        quality = lambda payload: json.loads(payload)["quality"]  # noqa: E731
        bad = live.wait(topic, lambda p: quality(p) == 0, limit=10)
        self.assertIsNotNone(bad, server.log())
        message = reading(bad)
        self.assertEqual((set(message), message["value"]),
                         ({"value", "ts", "quality", "error"}, None), bad)
        self.assertNotEqual(message["error"], "")
        self.simulator("--tcp", str(self.port))
        qualities = lambda: [quality(p) for p in live.payloads(topic)]  # noqa: E731
        self.assertTrue(wait_until(lambda: qualities()[2:] == [192], 12), live.payloads(topic))
        # Every quality change, once: the repeated failures while away are not news.
        self.assertEqual(qualities(), [192, 0, 192])
        self.assertEqual(value_of(live.payloads(topic)[-1]), 1111)
        self.assertEqual(live.payloads("qormodbus/a/$state"), ["online"])


class TlsTest(BridgeCase):
    tls = True

    def test_the_broker_is_trusted_by_the_ca_file_only(self):
        ca = TestCA.get()
        # The listener itself: the test CA passes, the other one fails.
        self.assertEqual([tls_trusts(self.broker.tls_port, c) for c in (ca.ca, ca.other_ca)],
                         [True, False])
        subscriber = self.subscriber()
        url = f"mqtts://localhost:{self.broker.tls_port}"
        good = self.bridge([("fixed", "HREG4", {})], node="trusting", url=url, ca_file=ca.ca)
        self.assertOnline(subscriber, good, "trusting")
        self.assertIsNotNone(subscriber.wait(f"qormodbus/trusting/{SITE}/fixed",
                                             lambda p: value_of(p) == 1111), good.log())
        good.stop()
        bad = self.bridge([("fixed", "HREG4", {})], node="wary", url=url, ca_file=ca.other_ca)
        self.assertTrue(wait_until(lambda: "mqtt:" in bad.log(), 5), bad.log())
        time.sleep(1.5)
        self.assertEqual(subscriber.messages("qormodbus/wary/$state"), [])
        self.assertRegex(bad.log(),
                         re.compile(r"mqtt: cannot connect .*certificate verify failed", re.I))
        self.assertNotIn("mqtt: connected", bad.log())


class CredentialsTest(BridgeCase):
    users = {"bridge": "s3cret"}

    def test_the_password_file_is_what_the_broker_checks(self):
        subscriber = self.subscriber()
        for node, password, welcome in (("good", "s3cret", True), ("bad", "wrong", False)):
            with self.subTest(node=node):
                path = os.path.join(self.box.dir, f"{node}.pass")
                with open(path, "w") as f:
                    f.write(password + "\n")
                server = self.bridge([("fixed", "HREG4", {})], node=node, username="bridge",
                                     password_file=path)
                if welcome:
                    self.assertOnline(subscriber, server, node)
                else:
                    self.assertTrue(wait_until(lambda: "mqtt: cannot" in server.log(), 5),
                                    server.log())
                    self.assertRegex(server.log(), r"mqtt: cannot connect .*not authori[sz]ed")
                    self.assertEqual(subscriber.messages(f"qormodbus/{node}/$state"), [])
                server.stop()


class ConfigFileTest(SimulatorCase):
    def test_a_bad_file_stops_the_server_with_its_line(self):
        good = bridge_config("mqtt://127.0.0.1:1", "a",
                             [(SITE, tcp_site(502), [("p", "HREG4", {})])])
        lines = good.splitlines()
        rows = [  # the file, the line at fault, a word the message names
            (good.replace('node = "a"', 'node = "a"\ncolour = "red"'), 4, "colour"),
            (good.replace('"HREG4"', '"HREGX"'), lines.index('  address = "HREG4"') + 1,
             "HREGX"),
            ("\n".join(lines[:lines.index("  [[site.point]]")]) + "\n",
             lines.index("[[site]]") + 1, "point"),
        ]
        for number, (text, line, word) in enumerate(rows):
            with self.subTest(line=line, word=word):
                path = os.path.join(self.box.dir, f"bad{number}.toml")
                with open(path, "w") as f:
                    f.write(text)
                result = self.box.run([QORMODBUS, "--no-window", "--bus", self.box.address,
                                       "--mqtt", path], timeout=15)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertRegex(result.stderr, f"qormodbus: {re.escape(path)}:{line}: .*{word}")


if __name__ == "__main__":
    unittest.main()

"""Test support for the MQTT bridge: a mosquitto broker of our own on 127.0.0.1 (plain and TLS
listeners, a test CA made once per run), a paho subscriber that keeps what it hears, the
bridge's configuration file, and a server started with it on a private bus (bushost.Sandbox)."""

import atexit
import json
import os
import pwd
import re
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
from datetime import datetime, timezone

import paho.mqtt.client as mqtt

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bus"))
from bushost import QORMODBUS, wait_until  # noqa: E402

ROOT = "qormodbus"
MOSQUITTO = os.environ.get("QMB_MOSQUITTO", "/usr/sbin/mosquitto")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.2):
            return True
    except OSError:
        return False


class TestCA:
    """A CA and a server certificate it signed (CN=localhost, SAN localhost and 127.0.0.1), and a
    second CA that signed nothing here: made once per run with openssl."""

    _made = None

    @classmethod
    def get(cls):
        if cls._made is None:
            cls._made = cls()
        return cls._made

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="qmb-ca-")
        atexit.register(shutil.rmtree, self.dir, True)
        path = lambda name: os.path.join(self.dir, name)  # noqa: E731
        self.ca, self.other_ca = path("ca.crt"), path("other-ca.crt")
        self.cert, self.key = path("server.crt"), path("server.key")
        ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        for name in ("ca", "other-ca"):
            self._openssl("req", "-x509", *ec, "-keyout", path(name + ".key"), "-out",
                          path(name + ".crt"), "-days", "2", "-subj", f"/CN=qmb test {name}")
        self._openssl("req", *ec, "-keyout", self.key, "-out", path("server.csr"),
                      "-subj", "/CN=localhost")
        with open(path("server.ext"), "w") as f:
            f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
        self._openssl("x509", "-req", "-in", path("server.csr"), "-CA", self.ca, "-CAkey",
                      path("ca.key"), "-CAcreateserial", "-out", self.cert, "-days", "2",
                      "-extfile", path("server.ext"))

    @staticmethod
    def _openssl(*args):
        result = subprocess.run(["openssl", *args], capture_output=True, text=True, timeout=30)
        if result.returncode != 0:
            raise RuntimeError(f"openssl {args[0]}: {result.stderr}")


def tls_trusts(port, cafile):
    """Whether a TLS handshake with the listener on port, as "localhost", passes with this CA."""
    context = ssl.create_default_context(cafile=cafile)
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=3) as raw:
            with context.wrap_socket(raw, server_hostname="localhost"):
                return True
    except ssl.SSLCertVerificationError:
        return False


class Broker:
    """mosquitto on 127.0.0.1: a plain listener, and a TLS one with the test CA's server
    certificate when tls=True. Without persistence: a restart forgets retained messages, so what
    a subscriber hears after one is what the bridge published again."""

    def __init__(self, tls=False, users=None):
        self.dir = tempfile.mkdtemp(prefix="qmb-broker-")
        self.port = free_port()
        self.tls_port = free_port() if tls else None
        self.log_path = os.path.join(self.dir, "mosquitto.log")
        self.conf = os.path.join(self.dir, "mosquitto.conf")
        lines = [f"user {pwd.getpwuid(os.geteuid()).pw_name}", "per_listener_settings false",
                 "allow_anonymous true", "persistence false", "log_dest stderr", "log_type all",
                 f"listener {self.port} 127.0.0.1"]
        if users:  # {name: password}: those names must give their password; others go anonymous
            passwords = os.path.join(self.dir, "passwords")
            for number, (name, password) in enumerate(users.items()):
                subprocess.run(["mosquitto_passwd", "-b"] + (["-c"] if number == 0 else []) +
                               [passwords, name, password], check=True, timeout=10)
            lines.append(f"password_file {passwords}")
        if tls:
            ca = TestCA.get()
            lines += [f"listener {self.tls_port} 127.0.0.1", f"cafile {ca.ca}",
                      f"certfile {ca.cert}", f"keyfile {ca.key}"]
        with open(self.conf, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.process = None
        self.start()

    def start(self):
        self._log = open(self.log_path, "ab")
        self.process = subprocess.Popen([MOSQUITTO, "-c", self.conf], stdout=self._log,
                                        stderr=subprocess.STDOUT)
        ports = [p for p in (self.port, self.tls_port) if p]
        if not wait_until(lambda: all(port_open(p) for p in ports), 10):
            raise RuntimeError("mosquitto did not start: " + self.log())

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)
        self.process = None
        self._log.close()

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


class Subscriber:
    """A paho client subscribed to a pattern (QoS 1): every (topic, payload, retain) it hears,
    in order. Returns from the constructor once the broker has granted the subscription."""

    def __init__(self, broker_port, pattern=ROOT + "/#"):
        self.heard, self.lock = [], threading.Lock()
        self.client = mqtt.Client(client_id="", clean_session=True)
        granted = threading.Event()
        self.client.on_connect = lambda c, u, f, rc: c.subscribe(pattern, qos=1)
        self.client.on_subscribe = lambda *args: granted.set()
        self.client.on_message = self._heard
        self.client.connect("127.0.0.1", broker_port, keepalive=30)
        self.client.loop_start()
        if not granted.wait(5):
            self.close()
            raise RuntimeError("the subscription was not granted")

    def _heard(self, client, userdata, message):
        with self.lock:
            self.heard.append((message.topic, message.payload.decode(errors="replace"),
                               bool(message.retain)))

    def messages(self, topic=None):
        with self.lock:
            return [m for m in self.heard if topic is None or m[0] == topic]

    def payloads(self, topic):
        return [p for _, p, _ in self.messages(topic)]

    def wait(self, topic, predicate=lambda payload: True, limit=5.0):
        """The first payload on the topic for which predicate holds (None when none came)."""
        found = []
        wait_until(lambda: found.extend(p for p in self.payloads(topic) if predicate(p)) or found,
                   limit)
        return found[0] if found else None

    def publish(self, topic, payload, retain=False):
        self.client.publish(topic, payload, qos=1, retain=retain).wait_for_publish()

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def reading(payload):
    """A point message as a dict, with its ts checked for shape and turned into a datetime."""
    value = json.loads(payload)
    if not re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", value.get("ts", "")):
        raise AssertionError(f"ts is no RFC 3339 UTC time with milliseconds: {payload}")
    value["ts"] = datetime.strptime(value["ts"], "%Y-%m-%dT%H:%M:%S.%fZ").replace(
        tzinfo=timezone.utc)
    return value


def toml_value(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return json.dumps(value)
    return repr(value)


def bridge_config(url, node, sites, **broker):
    """The configuration file's text. sites: (name, {site keys}, [(point name, address,
    {point keys})])."""
    lines = ["[broker]", f"url = {toml_value(url)}", f"node = {toml_value(node)}"]
    lines += [f"{k} = {toml_value(v)}" for k, v in broker.items()]
    for name, keys, points in sites:
        lines += ["", "[[site]]", f"name = {toml_value(name)}"]
        lines += [f"{k} = {toml_value(v)}" for k, v in keys.items()]
        for point, address, more in points:
            lines += ["", "  [[site.point]]", f"  name = {toml_value(point)}",
                      f"  address = {toml_value(address)}"]
            lines += [f"  {k} = {toml_value(v)}" for k, v in more.items()]
    return "\n".join(lines) + "\n"


def tcp_site(port, interval_ms=100):
    return {"transport": "tcp", "host": "127.0.0.1", "port": port, "interval_ms": interval_ms}


class BridgeServer:
    """qormodbus --mqtt FILE, standalone on a Sandbox's private bus; its standard error (where
    the bridge logs) kept in a file of the sandbox."""

    def __init__(self, box, config_text, name="bridge"):
        self.box = box
        self.config = os.path.join(box.dir, name + ".toml")
        with open(self.config, "w") as f:
            f.write(config_text)
        self.stderr_path = os.path.join(box.dir, name + ".stderr")
        with open(self.stderr_path, "wb") as stderr:
            # At the default level: what the bridge says there is what a user sees.
            self.process = box.start([QORMODBUS, "--no-window", "--bus", box.address,
                                      "--mqtt", self.config],
                                     env=dict(box.env, QORMODBUS_LOGLEVEL="info"),
                                     stdout=subprocess.DEVNULL, stderr=stderr)

    def log(self):
        with open(self.stderr_path, errors="replace") as f:
            return f.read()

    def stop(self, how=signal.SIGTERM, limit=10):
        self.process.send_signal(how)
        return self.process.wait(limit)


class Device:
    """A direct Modbus/TCP client of the simulator: to set and read its storage behind the
    bridge's back (also while the broker is away). Numbers as the driver numbers them."""

    def __init__(self, port):
        from pymodbus.client import ModbusTcpClient
        self.client = ModbusTcpClient("127.0.0.1", port=port, timeout=3)
        if not self.client.connect():
            raise RuntimeError(f"no simulator on port {port}")

    def registers(self, number, count=1):
        return self.client.read_holding_registers(number - 1, count, slave=1).registers

    def coil(self, number):
        return self.client.read_coils(number - 1, 1, slave=1).bits[0]

    def float(self, number):
        return struct.unpack(">f", struct.pack(">HH", *self.registers(number, 2)))[0]

    def set_registers(self, number, *values):
        self.client.write_registers(number - 1, list(values), slave=1)

    def set_float(self, number, value):
        self.set_registers(number, *struct.unpack(">HH", struct.pack(">f", value)))

    def set_text(self, number, text, registers):
        data = text.encode().ljust(2 * registers, b"\0")
        self.set_registers(number, *struct.unpack(f">{registers}H", data))

    def set_coil(self, number, value):
        self.client.write_coil(number - 1, value, slave=1)

    def close(self):
        self.client.close()

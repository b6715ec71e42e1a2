"""Test support: a private session bus with its own service directory, and hosts that talk to the
driver the way an outside host does (python3-dbus, each host on a bus connection of its own)."""

import os
import random
import select
import shutil
import signal
import socket
import stat
import struct
import subprocess
import tempfile
import threading
import time
import tty
import unittest

import dbus

NAME = "QorModBus.QorModBusCom"
FACTORY = "/QorModBus/QorModBusCom"
FACTORY_INTERFACE = "QorModBus.ClassFactory"
DRIVER = "QorDevice.IQorDeviceDriver"
OBJECT = "QorModBus.IQorModBusCom"
TYPED_MANAGER = "QorModBus.Modbus1.Manager"
TYPED_SITE = "QorModBus.Modbus1.Site"
TYPED_PATH = "/QorModBus/Modbus1"
QORMODBUS = os.environ.get("QORMODBUS", "")
QMBCTL = os.environ.get("QMBCTL", "")
DEVSIM = os.environ.get("QMB_DEVSIM", "")
CALL_TIMEOUT = 10.0


def ancestors(path):
    """The folders a process must pass through to reach path (path's parents, from the root)."""
    parents = []
    while (path := os.path.dirname(path)) not in parents:
        parents.insert(0, path)
    return parents


def wait_until(predicate, limit=5.0, step=0.02):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def as_list(*items):
    """A parameter list as hosts usually send it: a variant holding an array of strings."""
    return dbus.Array(items, signature="s")


def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A zombie (ended, not yet reaped by the daemon) counts as ended.
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split(") ")[1][0] != "Z"
    except OSError:
        return False


class ModbusTcpDevice:
    """A Modbus/TCP device on 127.0.0.1 that answers every register read with `value` in each
    register, `delay` seconds after the request (a command is under way that long), and answers
    with `fault` while one is set:
      "reset": half the reply, then the connection reset;   "garbage": 1,001 random bytes first;
      "other-unit" / "other-function": the reply for another unit or function;
      "bytewise": the reply one byte at a time;   "stale-first": an earlier request's reply in
      front of the right one, in one write."""

    def __init__(self, value, delay=0.0, fault=None):
        self.value, self.delay, self.fault = value, delay, fault
        self.server = socket.socket()
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(8)
        self.port = self.server.getsockname()[1]
        self.connections = []
        self.units = []  # the unit id of every request, in order
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                connection, _ = self.server.accept()
            except OSError:
                return
            self.connections.append(connection)
            threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    def reply(self, request, unit=None, function=None, tid=None):
        count = int.from_bytes(request[10:12], "big")
        data = self.value.to_bytes(2, "big") * count
        pdu = bytes([function or request[7], len(data)]) + data
        tid = request[0:2] if tid is None else tid
        return (tid + request[2:4] + (len(pdu) + 1).to_bytes(2, "big") +
                bytes([request[6] if unit is None else unit]) + pdu)

    def _serve(self, connection):
        try:
            while True:
                request = connection.recv(12)
                if len(request) < 12:
                    return
                self.units.append(request[6])
                time.sleep(self.delay)
                answer = self.reply(request)
                if self.fault == "reset":
                    connection.sendall(answer[:5])
                    connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                          struct.pack("ii", 1, 0))
                    connection.close()
                    return
                if self.fault == "garbage":
                    connection.sendall(random.Random(7).randbytes(1001) + answer)
                elif self.fault == "other-unit":
                    connection.sendall(self.reply(request, unit=(request[6] + 1) % 256))
                elif self.fault == "other-function":
                    connection.sendall(self.reply(request, function=4))
                elif self.fault == "bytewise":
                    for byte in answer:
                        connection.sendall(bytes([byte]))
                        time.sleep(0.005)
                elif self.fault == "stale-first":
                    stale = ((int.from_bytes(request[0:2], "big") - 1) % 65536).to_bytes(2, "big")
                    connection.sendall(self.reply(request, tid=stale) + answer)
                else:
                    connection.sendall(answer)
        except OSError:
            return

    def close(self):
        self.server.close()
        for connection in self.connections:
            try:
                connection.close()
            except OSError:
                pass


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc.to_bytes(2, "little")


class SerialDevice:
    """A Modbus RTU or ASCII slave on a pseudo-terminal linked as COM<n> in `comdir`: answers
    every register read with `value` in each register, and answers with `fault` while one is set:
      "close": half the reply, then its end of the line closed and the COM link gone (revive()
               brings a new pseudo-terminal at the same link);
      "bytewise": the reply one byte at a time, 15 ms apart (well inside the reply's silence);
      ("split", k): the first k bytes, 30 ms later the rest;
      "stale-first": an earlier reply (of value `stale`) in front of the right one, in one write;
      "garbage": 1,001 random bytes instead of the reply.
    The slave side is held open here too, so the line stays usable while the driver closes and
    reopens its end (a link reset)."""

    def __init__(self, comdir, number, ascii=False, value=0, fault=None):
        self.link = os.path.join(comdir, f"COM{number}")
        self.ascii, self.value, self.fault, self.stale = ascii, value, fault, 0
        self.requests = 0
        os.makedirs(comdir, exist_ok=True)
        self.master = None
        self.revive()

    def revive(self):
        master, self.slave = os.openpty()
        tty.setraw(self.slave)
        if os.path.lexists(self.link):
            os.unlink(self.link)
        os.symlink(os.ttyname(self.slave), self.link)
        self.master = master
        threading.Thread(target=self._serve, args=(master, self.slave), daemon=True).start()

    def frame(self, request, value):
        unit, function, count = request[0], request[1], int.from_bytes(request[4:6], "big")
        pdu = bytes([unit, function, 2 * count]) + value.to_bytes(2, "big") * count
        if not self.ascii:
            return pdu + crc16(pdu)
        lrc = (-sum(pdu)) & 0xFF
        return b":" + (pdu + bytes([lrc])).hex().upper().encode() + b"\r\n"

    def _requests(self, pending):
        """Whole requests at the front of `pending` (register reads: unit, function, address,
        count), and what is left."""
        found = []
        while True:
            if self.ascii:
                end = pending.find(b"\r\n")
                if end < 0:
                    return found, pending
                line, pending = pending[:end], pending[end + 2:]
                start = line.find(b":")
                if start >= 0:
                    try:
                        found.append(bytes.fromhex(line[start + 1:].decode("latin-1"))[:6])
                    except ValueError:
                        pass
            else:
                if len(pending) < 8:
                    return found, pending
                if crc16(pending[:6]) == pending[6:8]:
                    found.append(pending[:6])
                    pending = pending[8:]
                else:
                    pending = pending[1:]

    def _serve(self, master, slave):
        pending = b""
        try:
            while True:
                data = os.read(master, 4096)
                if not data:
                    return
                requests, pending = self._requests(pending + data)
                for request in requests:
                    if len(request) == 6:
                        self.requests += 1
                        self._answer(master, slave, request)
        except OSError:
            return

    def _answer(self, master, slave, request):
        reply, fault = self.frame(request, self.value), self.fault
        if fault == "close":
            os.write(master, reply[:len(reply) // 2])
            time.sleep(0.05)
            self.close()
            raise OSError("closed mid-reply")
        if fault == "bytewise":
            for byte in reply:
                os.write(master, bytes([byte]))
                time.sleep(0.015)
        elif isinstance(fault, tuple) and fault[0] == "split":
            os.write(master, reply[:fault[1]])
            time.sleep(0.03)
            os.write(master, reply[fault[1]:])
        elif fault == "stale-first":
            os.write(master, self.frame(request, self.stale) + reply)
        elif fault == "garbage":
            os.write(master, random.Random(self.requests).randbytes(1001))
        else:
            os.write(master, reply)

    def close(self):
        if os.path.islink(self.link):
            os.unlink(self.link)
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass


class Sandbox:
    """One private dbus-daemon plus the data, state and home directories of the servers it
    starts, all in one temporary directory. close() stops everything by process id."""

    def __init__(self, service_dirs=None, **extra_env):
        """service_dirs: where the bus looks for activation files (default: the servers' own
        data directory, where -RegServer writes)."""
        self.dir = tempfile.mkdtemp(prefix="qmb-bus-")
        self.data = os.path.join(self.dir, "data")
        self.state = os.path.join(self.dir, "state")
        self.home = os.path.join(self.dir, "home")
        for d in (self.data, self.state, self.home):
            os.makedirs(d)
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("DBUS_")}
        # The user's own config file (its COMDIR) must not reach the servers under test.
        self.env.update(XDG_DATA_HOME=self.data, XDG_STATE_HOME=self.state, HOME=self.home,
                        XDG_CONFIG_HOME=os.path.join(self.dir, "config"),
                        QORMODBUS_LOGLEVEL="debug")
        self.env.update({k: v.format(dir=self.dir) for k, v in extra_env.items()})
        service_dirs = service_dirs or [os.path.join(self.data, "dbus-1", "services")]
        service_lines = "".join(f"  <servicedir>{d}</servicedir>\n" for d in service_dirs)
        config = os.path.join(self.dir, "bus.conf")
        with open(config, "w") as f:
            f.write(f"""<busconfig>
  <type>session</type>
  <listen>unix:path={self.dir}/bus</listen>
  <auth>EXTERNAL</auth>
{service_lines}  <policy context="default">
    <allow user="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
""")
        self.daemon_log_path = os.path.join(self.dir, "daemon.log")
        self._daemon_log = open(self.daemon_log_path, "wb")
        # Servers the bus starts inherit the daemon's environment and standard error.
        self.daemon = subprocess.Popen(
            ["dbus-daemon", f"--config-file={config}", "--nofork", "--print-address=1"],
            stdout=subprocess.PIPE, stderr=self._daemon_log, env=self.env)
        ready, _, _ = select.select([self.daemon.stdout], [], [], 10)
        if not ready:
            self.close()
            raise RuntimeError("dbus-daemon did not start")
        self.address = self.daemon.stdout.readline().decode().strip()
        self.env["DBUS_SESSION_BUS_ADDRESS"] = self.address
        self.connections = []
        self.processes = []
        self.server_pids = set()

    def open_to_other_users(self, *programs):
        """Lets processes of other users reach the bus (the daemon's policy already does), as on
        a bus that several users share, and gives them copies of the programs they are to run:
        the build folder may sit where only its owner may enter (root's home, a `mktemp -d`
        folder). Returns the copies' paths, or raises unittest.SkipTest saying why when another
        user cannot reach the sandbox at all."""
        closed = [d for d in ancestors(self.dir) if not os.stat(d).st_mode & stat.S_IXOTH]
        if closed:
            raise unittest.SkipTest(f"other users cannot enter {closed[0]} (the temporary "
                                    f"folder's parent), so they cannot reach the test bus")
        os.chmod(self.dir, 0o755)
        os.chmod(os.path.join(self.dir, "bus"), 0o777)
        folder = os.path.join(self.dir, "bin")
        os.makedirs(folder, mode=0o755, exist_ok=True)
        copies = []
        for program in programs:
            copies.append(os.path.join(folder, os.path.basename(program)))
            shutil.copy(program, copies[-1])
            os.chmod(copies[-1], 0o755)
        return copies

    def connect(self):
        connection = dbus.bus.BusConnection(self.address)
        self.connections.append(connection)
        return connection

    def run(self, args, timeout=30, env=None):
        return subprocess.run(args, env=env or self.env, capture_output=True, text=True,
                              timeout=timeout)

    def start(self, args, **kwargs):
        process = subprocess.Popen(args, env=kwargs.pop("env", self.env), **kwargs)
        self.processes.append(process)
        return process

    def register(self, program=QORMODBUS):
        result = self.run([program, "-RegServer"])
        if result.returncode != 0:
            raise RuntimeError("registration failed: " + result.stderr)

    def server_pid(self, connection=None):
        """The process id of the current owner of the driver's name (None when unowned)."""
        connection = connection or self.connect()
        bus = connection.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
        try:
            pid = int(bus.GetConnectionUnixProcessID(NAME, dbus_interface="org.freedesktop.DBus"))
        except dbus.DBusException:
            return None
        self.server_pids.add(pid)
        return pid

    def log(self):
        """Everything the servers logged: standard error (through the daemon) and the log file."""
        text = b""
        for path in (self.daemon_log_path, os.path.join(self.state, "qormodbus", "qormodbus.log")):
            if os.path.exists(path):
                with open(path, "rb") as f:
                    text += f.read()
        return text

    def close(self):
        if self.daemon.poll() is None:
            self.server_pid()  # whichever server runs now is waited for below
        for connection in self.connections:
            try:
                connection.close()
            except Exception:  # noqa: BLE001 - closing is best effort
                pass
        for process in self.processes:
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait(5)
            for stream in (process.stdin, process.stdout, process.stderr):
                if stream:
                    stream.close()
        if self.daemon.poll() is None:
            self.daemon.terminate()
            try:
                self.daemon.wait(5)
            except subprocess.TimeoutExpired:
                self.daemon.kill()
                self.daemon.wait(5)
        # A bus-started server ends when its bus goes; one that does not is stopped here.
        for pid in self.server_pids:
            if not wait_until(lambda: not pid_alive(pid), 5):
                os.kill(pid, signal.SIGKILL)
        self.daemon.stdout.close()
        self._daemon_log.close()
        shutil.rmtree(self.dir, ignore_errors=True)


class TypedHost:
    """A host of the typed interface on a bus connection of its own."""

    def __init__(self, connection):
        self.connection = connection

    def call(self, path, interface, member, signature="", *args):
        return self.connection.call_blocking(NAME, path, interface, member, signature, list(args),
                                             timeout=CALL_TIMEOUT)

    def open(self, options=None, **more):
        return str(self.call(TYPED_PATH, TYPED_MANAGER, "OpenSite", "a{sv}",
                             {**(options or {}), **more}))

    def read(self, site, points, max_age_ms=0):
        return [(v, int(t), int(q), str(e))
                for v, t, q, e in self.call(site, TYPED_SITE, "Read", "asu", points, max_age_ms)]

    def write(self, site, values):
        return self.call(site, TYPED_SITE, "Write", "a(sv)", values)

    def property(self, site, name):
        return self.call(site, "org.freedesktop.DBus.Properties", "Get", "ss", TYPED_SITE, name)


class Host:
    """One driver object, created and used on one bus connection."""

    def __init__(self, connection):
        self.connection = connection
        self.path = connection.call_blocking(NAME, FACTORY, FACTORY_INTERFACE, "CreateInstance",
                                             "", [], timeout=CALL_TIMEOUT)

    def call(self, member, params, signature="v", interface=DRIVER):
        return self.connection.call_blocking(NAME, self.path, interface, member, signature,
                                             [params] if signature else [],
                                             timeout=CALL_TIMEOUT)

    def option(self, *items):
        return bool(self.call("SetDriverOption", as_list(*items)))

    def open(self, *items):
        return bool(self.call("OpenSite", as_list(*items)))

    def execute(self, *items):
        return self.call("ExecuteCommand", as_list(*items))

    def status(self):
        return [str(e) for e in self.execute("COMMAND=COMMANDSTATUS")]

    def open_site(self, *items):
        """Version check, open, and the open's outcome collected."""
        assert self.option("VERSIONCHECK=1.8")
        assert self.open(*items)
        reply = self.until_done()
        assert reply[0] in ("COMMANDSTATUS=TRUE", "COMMANDSTATUS=FALSE"), reply
        return reply

    def until_done(self, limit=10.0):
        """Polls COMMANDSTATUS until TRUE, FALSE or LOCKED; the final reply."""
        deadline = time.monotonic() + limit
        while True:
            reply = self.status()
            if reply[0] in ("COMMANDSTATUS=TRUE", "COMMANDSTATUS=FALSE", "COMMANDSTATUS=LOCKED"):
                return reply
            if time.monotonic() > deadline:
                raise AssertionError(f"command did not end: {reply}")
            time.sleep(0.02)

    def run(self, *items, limit=20.0):
        """A command as hosts send it: again while the driver says to wait, then COMMANDSTATUS
        until it ends; the final reply."""
        deadline = time.monotonic() + limit
        while [str(e) for e in self.execute(*items)][0] == "COMMANDSTATUS=Waiting for driver...":
            if time.monotonic() > deadline:
                raise AssertionError(f"command never taken: {items}")
            time.sleep(0.05)
        return self.until_done(max(1.0, deadline - time.monotonic()))

    def release(self):
        self.call("Release", None, signature="", interface=OBJECT)

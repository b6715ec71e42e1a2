"""What the bus benchmarks share: a private dbus-daemon in a work folder with the server started
on it (and waited for), stopped and cleaned up by process id however the benchmark ends, and
the server's resident memory, descriptors and CPU time from /proc."""

import contextlib
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time

import dbus

NAME = "QorModBus.QorModBusCom"
FACTORY = "/QorModBus/QorModBusCom"
DRIVER = "QorDevice.IQorDeviceDriver"


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def open_fds(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(") ", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Setup:
    def __init__(self, work, env, address, server):
        self.work, self.env, self.address, self.server = work, env, address, server


@contextlib.contextmanager
def server_on_private_bus(qormodbus, name, extra_env=None, before_server=None,
                          server_stderr=subprocess.DEVNULL, extra_args=()):
    """Yields a Setup: the work folder, the environment (XDG folders in the work folder, no
    session bus of the caller's), the bus address and the running server (no window, and
    extra_args on its command line). before_server(work, env) runs first, for simulators the
    server needs at its start."""
    work = tempfile.mkdtemp(prefix=f"qmb-{name}-")
    env = {k: v for k, v in os.environ.items() if not k.startswith("DBUS_")}
    env.update(XDG_DATA_HOME=os.path.join(work, "data"), XDG_STATE_HOME=os.path.join(work, "state"),
               QORMODBUS_LOGLEVEL="warning")
    env.update(extra_env or {})
    daemon = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1",
                               f"--address=unix:dir={work}"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
    server = None
    try:
        if before_server:
            before_server(work, env)
        select.select([daemon.stdout], [], [], 10)
        address = daemon.stdout.readline().decode().strip()
        server = subprocess.Popen([qormodbus, "--bus", address, "--no-window", *extra_args],
                                  env=env, stderr=server_stderr)
        probe = dbus.bus.BusConnection(address)
        deadline = time.monotonic() + 10
        while not probe.name_has_owner(NAME):
            if time.monotonic() > deadline or server.poll() is not None:
                sys.exit(f"{name}: the server did not start")
            time.sleep(0.05)
        probe.close()
        yield Setup(work, env, address, server)
    finally:
        if server and server.poll() is None:
            server.terminate()
            server.wait(10)
        daemon.terminate()
        daemon.wait(10)
        daemon.stdout.close()
        shutil.rmtree(work, ignore_errors=True)

#!/usr/bin/python3
"""The installed driver: the tree `cmake --install` lays out (with DESTDIR as packagers stage it),
the bus starting the installed server from the installed activation file on a private bus with
the installed qmbctl and simulator, and the Debian package CPack builds from the same rules."""

import configparser
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "bus"))
from bushost import NAME, Sandbox, pid_alive, wait_until  # noqa: E402

BUILD = os.environ.get("QMB_BUILD_DIR", "")
SOURCE = os.environ.get("QMB_SOURCE_DIR", "")
PREFIX = os.environ.get("QMB_INSTALL_PREFIX", "")
# The install layout, relative to the prefix.
ACTIVATION = "share/dbus-1/services/QorModBus.QorModBusCom.service"
INTERFACES = "share/dbus-1/interfaces/QorModBus.QorModBusCom.xml"
UNIT = "lib/systemd/user/qormodbus.service"
MAN_PAGES = ["share/man/man8/qormodbus.8", "share/man/man1/qmbctl.1",
             "share/man/man1/qmb-devsim.1"]
PROGRAMS = ["bin/qormodbus", "bin/qmbctl", "bin/qmb-devsim"]
FILES = [ACTIVATION, INTERFACES, UNIT, *MAN_PAGES, "share/bash-completion/completions/qmbctl",
         "share/doc/qormodbus/examples/60-qormodbus.rules",
         "share/doc/qormodbus/examples/qormodbus-mqtt.toml"]

def install(prefix=None, destdir=None):
    env = dict(os.environ)
    env.pop("DESTDIR", None)
    if destdir:
        env["DESTDIR"] = destdir
    args = ["cmake", "--install", BUILD] + (["--prefix", prefix] if prefix else [])
    result = subprocess.run(args, env=env, capture_output=True, text=True, timeout=120)
    if result.returncode != 0:
        raise AssertionError("cmake --install failed:\n" + result.stdout + result.stderr)


def key_file(path, section):
    parser = configparser.ConfigParser(interpolation=None)
    parser.optionxform = str
    parser.read(path)
    return dict(parser[section])


def check_tree(test, root, prefix):
    """The files under root (the prefix as staged or installed) and what they say about prefix
    (where they are, or will be, installed)."""
    for path in PROGRAMS + FILES:
        with test.subTest(path=path):
            full = os.path.join(root, path)
            test.assertTrue(os.path.isfile(full))
            test.assertEqual(os.access(full, os.X_OK), path in PROGRAMS)
    server = prefix + "/bin/qormodbus"
    activation = key_file(os.path.join(root, ACTIVATION), "D-BUS Service")
    test.assertEqual(activation, {"Name": NAME, "Exec": server + " -Embedding",
                                  "SystemdService": "qormodbus.service"})
    unit = key_file(os.path.join(root, UNIT), "Service")
    test.assertEqual((unit["Type"], unit["BusName"], unit["ExecStart"]),
                     ("dbus", NAME, server + " -Embedding"))
    with open(os.path.join(root, INTERFACES)) as installed, \
            open(os.path.join(SOURCE, "src/host/bus/QorModBus.QorModBusCom.xml")) as built_in:
        test.assertEqual(installed.read(), built_in.read())
    for page in MAN_PAGES:
        with open(os.path.join(root, page)) as f:
            text = f.read()
        test.assertNotIn("@", text, page)  # every template key filled in
        if shutil.which("groff"):
            # Every warning but a line too long to fill, which a long prefix gives.
            result = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-Wbreak", "-z", page],
                                    cwd=root, capture_output=True, text=True, timeout=30)
            test.assertEqual((result.returncode, result.stderr), (0, ""), page)
    with open(os.path.join(root, MAN_PAGES[0])) as f:
        test.assertIn(server, f.read())


class InstallTest(unittest.TestCase):
    def setUp(self):
        self.assertTrue(BUILD and SOURCE and PREFIX, "QMB_BUILD_DIR, QMB_SOURCE_DIR and "
                        "QMB_INSTALL_PREFIX must be set")
        self.dir = tempfile.mkdtemp(prefix="qmb-install-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def test_staged_tree_names_the_final_prefix(self):
        stage = os.path.join(self.dir, "stage")
        install(destdir=stage)
        check_tree(self, stage + PREFIX, PREFIX)

    def test_bus_starts_the_installed_server_for_the_installed_qmbctl(self):
        prefix = os.path.join(self.dir, "usr")
        install(prefix=prefix)
        check_tree(self, prefix, prefix)
        if shutil.which("systemd-analyze"):
            # Checks the unit's keys, that its ExecStart is a program and that man finds its
            # Documentation pages (offline: no systemd instance, only a runtime directory).
            runtime = os.path.join(self.dir, "runtime")
            os.makedirs(runtime, mode=0o700)
            result = subprocess.run(
                ["systemd-analyze", "--user", "verify", os.path.join(prefix, UNIT)],
                env=dict(os.environ, XDG_RUNTIME_DIR=runtime, MANPATH=prefix + "/share/man"),
                capture_output=True, text=True, timeout=60)
            self.assertEqual((result.returncode, result.stderr), (0, ""))

        # The bus reads only the installed activation file, and the installed server, finding it
        # among the system data directories, registers nothing per user (a user's file would be
        # read first and take the starts away from the installed one and its systemd unit).
        box = Sandbox(service_dirs=[prefix + "/share/dbus-1/services"],
                      XDG_DATA_DIRS=prefix + "/share")
        self.addCleanup(box.close)
        simulator = box.start([prefix + "/bin/qmb-devsim", "--tcp", "0"],
                              stdout=subprocess.PIPE, text=True)
        ready = simulator.stdout.readline()
        port = re.search(r"tcp=127\.0\.0\.1:(\d+)", ready)
        self.assertIsNotNone(port, ready)
        result = box.run([prefix + "/bin/qmbctl", "--bus", box.address, "DESCRIPTION=Installed",
                          "BP3=TRUE", f"SP3=127.0.0.1:{port.group(1)}", "POINTGETVALUE",
                          "POINT={fixed}{HREG4}"])
        self.assertEqual((result.returncode, result.stdout), (0, "VALUE=1111\n\n"), result.stderr)

        # The bus started the installed program as its activation file says; like any server the
        # bus starts, it logs to standard error (here the daemon's) and to its log file, and ends
        # a moment after its last driver object.
        with open(box.daemon_log_path, errors="replace") as f:
            stderr = f.read()
        registered = re.search(
            r"qormodbus\[(\d+)\] info: Registration left to the installed activation file (\S+)",
            stderr)
        serving = re.search(r"serving on .* \(automation start, process (\d+)\)", stderr)
        self.assertTrue(registered and serving, stderr)
        self.assertEqual(registered.group(2), prefix + "/" + ACTIVATION)
        self.assertFalse(os.path.exists(os.path.join(box.data, "dbus-1", "services")), stderr)
        pid = int(serving.group(1))
        self.assertEqual(int(registered.group(1)), pid)
        box.server_pids.add(pid)
        with open(os.path.join(box.state, "qormodbus", "qormodbus.log")) as f:
            self.assertIn(f"automation start, process {pid}", f.read())
        self.assertTrue(wait_until(lambda: not pid_alive(pid), 10), "the server stays")
        self.assertIn("Last driver object released: ending", box.log().decode(errors="replace"))

    def test_bash_completion(self):
        script = os.path.join(SOURCE, "packaging/qmbctl.bash-completion")
        cases = [
            ("qmbctl --b", "--bus"),
            ("qmbctl --bus ", "session system unix:path="),
            ("qmbctl DESC", "DESCRIPTION="),
            ("qmbctl BP3=TRUE SITE", "SITETIME SITESTATUS"),
            ("qmbctl BAUDRATE=192", "19200"),  # bash replaces only the part after "="
            ("qmbctl --point 1-HREG1 w", "watch"),  # the option's value is no command
            ("qmbctl COMPORT=1 POINTVERIFY POINTA", "POINTADDRESS="),
            # After a command word, that command's keys only.
            ("qmbctl COMPORT=1 pointgetvalue P", "POINT="),
            ("qmbctl COMPORT=1 GETPOINTSLIST ", ""),
            ("qmbctl GETDATA DRIVERCOMMAND=S", "SENDCOMMAND"),
            ("qmbctl SITESTATUS SITE", ""),
        ]
        program = f'source "{script}"\n' + "".join(
            f"COMP_LINE='{line}'; COMP_POINT=${{#COMP_LINE}}; COMPREPLY=(); _qmbctl\n"
            'echo "${COMPREPLY[*]}"\n' for line, _ in cases)
        result = subprocess.run(["bash", "--norc", "-c", program], capture_output=True, text=True,
                                timeout=30)
        self.assertEqual(result.stderr, "")
        self.assertEqual(result.stdout.splitlines(), [expected for _, expected in cases])


class PackageTest(unittest.TestCase):
    def test_deb_holds_the_tree_for_usr(self):
        self.assertTrue(BUILD and SOURCE, "QMB_BUILD_DIR and QMB_SOURCE_DIR must be set")
        if not shutil.which("dpkg-deb"):
            self.skipTest("dpkg-deb is not installed")
        work = tempfile.mkdtemp(prefix="qmb-deb-")
        self.addCleanup(shutil.rmtree, work, True)
        result = subprocess.run(["cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                                 "-G", "DEB", "-B", work], capture_output=True, text=True,
                                timeout=300)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        debs = [f for f in os.listdir(work) if f.endswith(".deb")]
        self.assertEqual(len(debs), 1, os.listdir(work))
        self.assertRegex(debs[0], r"^qormodbus_\d+\.\d+_[a-z0-9]+\.deb$")
        deb = os.path.join(work, debs[0])

        depends = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], capture_output=True,
                                 text=True, check=True).stdout
        for needed in ("libqt6core6", "libqt6dbus6", "libqt6serialport6", "libqt6widgets6",
                       "dbus"):
            self.assertRegex(depends, rf"(^|, ){needed}( |,|$)")

        listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True,
                                 check=True).stdout
        for path in PROGRAMS + FILES:
            self.assertRegex(listing, rf" \./usr/{re.escape(path)}\n")
        tree = os.path.join(work, "tree")
        subprocess.run(["dpkg-deb", "-x", deb, tree], check=True)
        check_tree(self, tree + "/usr", "/usr")


if __name__ == "__main__":
    unittest.main(verbosity=2)

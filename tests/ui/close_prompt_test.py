"""The real server on a real X server (Xvfb), closed the way an operator closes it: File, Exit,
and the prompt answered with the keyboard (xdotool); and its site window used the way a screen
reader uses it, over the desktop's accessibility bus. Hosts on a private bus watch what
happens."""

import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "integration", "bus"))
from bushost import QORMODBUS, Host, Sandbox, as_list, wait_until  # noqa: E402

import dbus  # noqa: E402

MAIN_CAPTION = "ModBus Serial Driver V1.80"
PROMPT_CAPTION = "COM Server Warning"
BUS_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"


class Display:
    """A private Xvfb on a free display number; stopped by its process id."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                         "1280x1024x24", "-nolisten", "tcp"],
                                        pass_fds=(write_end,), stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as f:
            self.name = ":" + f.readline().strip()

    def close(self):
        self.process.terminate()
        self.process.wait(5)


class Accessibility:
    """An assistive tool's view of the desktop: the accessibility bus that the desktop's bus
    launcher starts (found through the session bus), read and operated over AT-SPI."""

    ROOT = "/org/a11y/atspi/accessible/root"
    ACCESSIBLE = "org.a11y.atspi.Accessible"
    LABELLED_BY = 2

    def __init__(self, session):
        self.session = session
        self.bus = None

    def connect(self):
        try:
            address = self.session.call_blocking("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
                                                 "GetAddress", "", [], timeout=2)
        except dbus.DBusException:
            return False
        self.bus = dbus.bus.BusConnection(str(address))
        return True

    def call(self, element, interface, member, signature="", args=(), timeout=5):
        return self.bus.call_blocking(element[0], element[1], interface, member, signature,
                                      list(args), timeout=timeout)

    def children(self, element):
        return [(str(n), str(p)) for n, p in self.call(element, self.ACCESSIBLE, "GetChildren")]

    def name(self, element):
        return str(self.call(element, "org.freedesktop.DBus.Properties", "Get", "ss",
                             (self.ACCESSIBLE, "Name")))

    def role(self, element):
        return str(self.call(element, self.ACCESSIBLE, "GetRoleName"))

    def extents(self, element):
        """Screen rectangle as (left, top, right, bottom), right and bottom exclusive."""
        x, y, w, h = self.call(element, "org.a11y.atspi.Component", "GetExtents", "u", (0,))
        return int(x), int(y), int(x) + int(w), int(y) + int(h)

    def labels(self, element):
        """The names of the elements this one is labelled by."""
        return [self.name((str(n), str(p)))
                for kind, targets in self.call(element, self.ACCESSIBLE, "GetRelationSet")
                if kind == self.LABELLED_BY for n, p in targets]

    def do_action(self, element, action):
        interface = "org.a11y.atspi.Action"
        count = int(self.call(element, "org.freedesktop.DBus.Properties", "Get", "ss",
                              (interface, "NActions")))
        names = [str(self.call(element, interface, "GetName", "i", (i,))) for i in range(count)]
        if action not in names:
            raise AssertionError(f"no action {action} among {names}")
        return bool(self.call(element, interface, "DoAction", "i", (names.index(action),)))

    def find(self, element, role, name=None):
        """Every element below element with that role (and name), in tree order."""
        found = []
        for child in self.children(element):
            if self.role(child) == role and (name is None or self.name(child) == name):
                found.append(child)
            found += self.find(child, role, name)
        return found

    def application(self, title):
        """The main window of the application whose frame has that title, once it is there."""
        if self.bus is None and not self.connect():
            return None
        try:
            for app in self.children(("org.a11y.atspi.Registry", self.ROOT)):
                for frame in self.children(app):
                    if self.name(frame) == title:
                        return frame
        except dbus.DBusException:
            pass
        return None


class OnDisplay(unittest.TestCase):
    """A private X server and bus for each test, and xdotool on that display."""

    def setUp(self):
        self.display = Display()
        self.box = Sandbox()
        self.env = dict(self.box.env, DISPLAY=self.display.name)
        self.env.pop("QT_QPA_PLATFORM", None)

    def tearDown(self):
        self.box.close()
        self.display.close()

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True,
                              timeout=10)

    def windows(self, caption):
        found = self.xdotool("search", "--onlyvisible", "--name", f"^{caption}$")
        return found.stdout.split()

    def keys(self, window, *keys):
        self.xdotool("windowfocus", "--sync", window)
        for key in keys:
            self.xdotool("key", "--clearmodifiers", key)
            time.sleep(0.2)  # the menu opens before the next key


class ClosePromptTest(OnDisplay):
    def setUp(self):
        super().setUp()
        self.server_log = os.path.join(self.box.dir, "server.log")
        with open(self.server_log, "wb") as log:
            self.server = self.box.start([QORMODBUS, "--bus", self.box.address], env=self.env,
                                         stderr=log)
        self.assertTrue(wait_until(lambda: self.box.server_pid() == self.server.pid, 10))
        self.assertTrue(wait_until(lambda: self.windows(MAIN_CAPTION), 10), "no main window")
        self.main = self.windows(MAIN_CAPTION)[0]

    def exit_from_menu(self):
        self.keys(self.main, "alt+f", "x")

    def test_exit_asks_first_and_answers_decide(self):
        host = Host(self.box.connect())
        self.assertEqual(host.open_site("DESCRIPTION=Watched", "OFFLINE=TRUE")[0],
                         "COMMANDSTATUS=TRUE")

        # A connected site stops the whole close: its message comes (captioned as the main
        # window), no prompt, and the server goes on.
        self.exit_from_menu()
        self.assertTrue(wait_until(lambda: len(self.windows(MAIN_CAPTION)) == 2, 5),
                        "no refusal message")
        self.assertEqual(self.windows(PROMPT_CAPTION), [])
        refusal = [w for w in self.windows(MAIN_CAPTION) if w != self.main][0]
        self.keys(refusal, "Return")
        self.assertTrue(wait_until(lambda: len(self.windows(MAIN_CAPTION)) == 1, 5))

        # With the site closed the host object still lives: the prompt asks, No is the default.
        self.assertTrue(host.call("CloseSite", as_list()))
        host.until_done()
        self.exit_from_menu()
        self.assertTrue(wait_until(lambda: self.windows(PROMPT_CAPTION), 5), "no close prompt")
        self.keys(self.windows(PROMPT_CAPTION)[0], "Return")
        self.assertTrue(wait_until(lambda: not self.windows(PROMPT_CAPTION), 5))
        self.assertIsNone(self.server.poll())
        # Its clients are still served, down to a new open.
        self.assertEqual(host.open_site("DESCRIPTION=Again", "OFFLINE=TRUE")[0],
                         "COMMANDSTATUS=TRUE")
        self.assertTrue(host.call("CloseSite", as_list()))
        host.until_done()

        # Yes ends the server cleanly and releases the objects the host still held.
        self.exit_from_menu()
        self.assertTrue(wait_until(lambda: self.windows(PROMPT_CAPTION), 5), "no close prompt")
        self.keys(self.windows(PROMPT_CAPTION)[0], "alt+y")
        self.assertEqual(self.server.wait(10), 0)
        self.assertIn(b"Server ended (1 driver object(s) still alive are released)",
                      open(self.server_log, "rb").read())
        with self.assertRaises(dbus.DBusException):
            host.status()

    def test_without_host_objects_exit_ends_at_once(self):
        self.exit_from_menu()
        self.assertEqual(self.server.wait(10), 0)
        self.assertEqual(self.windows(PROMPT_CAPTION), [])


@unittest.skipUnless(os.access(BUS_LAUNCHER, os.X_OK), "no accessibility bus launcher")
class SiteWindowAccessibilityTest(OnDisplay):
    """The site window as a screen reader reaches it: its values read and its controls operated
    through the accessibility bus, and every control in view or scrolled to."""

    def setUp(self):
        super().setUp()
        # The desktop's accessibility bus, as a session provides it; the server joins it.
        self.box.start([BUS_LAUNCHER, "--launch-immediately", "--a11y=1", "--screen-reader=1"],
                       env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.a11y = Accessibility(self.box.connect())
        self.assertTrue(wait_until(self.a11y.connect, 10), "no accessibility bus")
        self.server = self.box.start([QORMODBUS, "--bus", self.box.address],
                                     env=dict(self.env, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1"),
                                     stderr=subprocess.DEVNULL)
        self.assertTrue(wait_until(lambda: self.box.server_pid() == self.server.pid, 10))
        self.host = Host(self.box.connect())
        self.assertEqual(self.host.open_site("DESCRIPTION=Watched", "OFFLINE=TRUE")[0],
                         "COMMANDSTATUS=TRUE")
        self.main = None
        self.assertTrue(wait_until(self.site_window, 10), "no site window on the bus")

    def site_window(self):
        self.main = self.main or self.a11y.application(MAIN_CAPTION)
        if self.main is None:
            return None
        frames = self.a11y.find(self.main, "frame", "Watched (Offline Mode)")
        return frames[0] if frames else None

    def test_block_through_the_toggle_action_locks_the_site_for_hosts(self):
        site = self.site_window()
        # A screen reader says "Clients: 1": the value, and the caption it is labelled by.
        count = [e for e in self.a11y.find(site, "label") if self.a11y.labels(e) == ["Clients: "]]
        self.assertEqual([self.a11y.name(e) for e in count], ["1"])

        block = self.a11y.find(site, "check box", "Block")[0]
        self.assertTrue(self.a11y.do_action(block, "Toggle"))
        reply = self.host.run("COMMAND=SITESTATUS")
        self.assertEqual(reply[0], "COMMANDSTATUS=LOCKED", reply)
        self.assertIn("COMMANDERROR=being accessed via Debug Mode", reply)

        self.assertTrue(self.a11y.do_action(block, "Toggle"))
        self.assertEqual(self.host.run("COMMAND=SITESTATUS")[0], "COMMANDSTATUS=TRUE")

        # Exit through its accessible action while the site is connected: the refusal opens and
        # the action is answered at once, not when the box is closed.
        main_window = self.windows(MAIN_CAPTION)
        exit_item = self.a11y.find(self.main, "menu item", "Exit")[0]
        self.assertTrue(self.a11y.do_action(exit_item, "Press"))
        self.assertTrue(wait_until(lambda: len(self.windows(MAIN_CAPTION)) == 2, 5),
                        "no refusal message")
        refusal = [w for w in self.windows(MAIN_CAPTION) if w not in main_window]
        self.keys(refusal[0], "Return")
        self.assertTrue(wait_until(lambda: len(self.windows(MAIN_CAPTION)) == 1, 5))
        self.assertIsNone(self.server.poll())

    def test_every_control_is_in_view_or_scrolled_to(self):
        def controls():
            site = self.site_window()
            found = []
            for role in ("push button", "check box", "label", "text"):
                found += [(role, i, self.a11y.extents(e))
                          for i, e in enumerate(self.a11y.find(site, role))]
            return found

        def visible_area():
            """The main window's child area less the scroll bars it shows for children that
            reach past it (as thick as the log's own)."""
            area = self.a11y.find(self.main, "layered pane")[0]
            left, top, right, bottom = self.a11y.extents(area)
            site = self.a11y.extents(self.site_window())
            bar = min(r - l for l, t, r, b in
                      (self.a11y.extents(e) for e in self.a11y.find(self.main, "scroll bar"))
                      if b - t > r - l)
            across, down = site[2] > right, site[3] > bottom
            down = down or (across and site[3] > bottom - bar)
            across = across or (down and site[2] > right - bar)
            return (left, top, right - bar * down, bottom - bar * across)

        def inside(rect, area):
            return (rect[0] >= area[0] and rect[1] >= area[1] and rect[2] <= area[2]
                    and rect[3] <= area[3])

        # At the main window's first size every control is in view.
        area = visible_area()
        hidden = [c for c in controls() if not inside(c[2], area)]
        self.assertGreater(len(controls()), 40)
        self.assertEqual(hidden, [])

        # In a smaller main window the child area scrolls (the mouse wheel over its empty part)
        # until each control has been in view.
        self.xdotool("windowsize", self.windows(MAIN_CAPTION)[0], "694", "360")
        self.assertTrue(wait_until(lambda: visible_area()[3] - visible_area()[1] < 400, 5))
        area = visible_area()
        unseen = {c[:2] for c in controls() if not inside(c[2], area)}
        self.assertTrue(unseen, "nothing out of view in a small window")
        self.xdotool("mousemove", str(area[2] - 20), str((area[1] + area[3]) // 2))
        for _ in range(30):
            if not unseen:
                break
            self.xdotool("click", "5")
            time.sleep(0.05)  # the area has scrolled before its children are read again
            unseen -= {c[:2] for c in controls() if inside(c[2], area)}
        self.assertEqual(unseen, set())


if __name__ == "__main__":
    unittest.main()

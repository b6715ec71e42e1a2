"""The real server on a real X server (Xvfb), closed the way an operator closes it: File, Exit,
and the prompt answered with the keyboard (xdotool). Hosts on a private bus watch what happens."""

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


class ClosePromptTest(unittest.TestCase):
    def setUp(self):
        self.display = Display()
        self.box = Sandbox()
        self.env = dict(self.box.env, DISPLAY=self.display.name)
        self.env.pop("QT_QPA_PLATFORM", None)
        self.server_log = os.path.join(self.box.dir, "server.log")
        with open(self.server_log, "wb") as log:
            self.server = self.box.start([QORMODBUS, "--bus", self.box.address], env=self.env,
                                         stderr=log)
        self.assertTrue(wait_until(lambda: self.box.server_pid() == self.server.pid, 10))
        self.assertTrue(wait_until(lambda: self.windows(MAIN_CAPTION), 10), "no main window")
        self.main = self.windows(MAIN_CAPTION)[0]

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


if __name__ == "__main__":
    unittest.main()

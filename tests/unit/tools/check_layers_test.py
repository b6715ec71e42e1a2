"""The layer check fails on every kind of planted offence and passes a tree in order."""
import pathlib
import subprocess
import sys
import tempfile
import unittest

SCRIPT = pathlib.Path(__file__).resolve().parents[3] / "tools" / "check-layers.py"


def run(files):
    with tempfile.TemporaryDirectory() as root:
        for name, text in files.items():
            path = pathlib.Path(root, "src", name)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
        done = subprocess.run([sys.executable, str(SCRIPT), root], capture_output=True, text=True,
                              timeout=60)
        return done.returncode, done.stdout


class CheckLayersTest(unittest.TestCase):
    def test_the_repository_is_in_order(self):
        done = subprocess.run([sys.executable, str(SCRIPT)], capture_output=True, text=True,
                              timeout=60)
        self.assertEqual(done.returncode, 0, done.stdout)

    def test_downward_and_own_folder_includes_pass(self):
        code, out = run({
            "engine/A.cpp": '#include "engine/A.h"\n#include "protocol/B.h"\n#include <vector>\n',
            "app/main.cpp": '#include <QCoreApplication>\n#include "platform/qt/L.h"\n',
            "host/bus/S.cpp": '#include <QtDBus/QDBusMessage>\n#include "host/D.h"\n',
        })
        self.assertEqual(code, 0, out)

    def test_planted_offences_fail_each_with_its_line(self):
        cases = {
            "links/Up.h": ('#include "engine/Session.h"\n', "a layer above it (engine/)"),
            "protocol/Up.cpp": ('\n#include "model/X.h"\n#include "sites/R.h"\n',
                                "src/protocol/Up.cpp:3"),
            "platform/Bus.h": ('#include "host/bus/BusServer.h"\n', "(host/bus/)"),
            "engine/Qt.cpp": ("#include <QTimer>\n", "includes Qt (QTimer)"),
            "model/QtToo.h": ('#include "platform/qt/QtSerialPort.h"\n', "includes Qt"),
            "host/Widgets.cpp": ("#include <QtWidgets/QLabel>\n", "includes Qt"),
            "newfolder/X.cpp": ("", "is no layer"),
        }
        for name, (text, expected) in cases.items():
            with self.subTest(name):
                code, out = run({name: text})
                self.assertEqual(code, 1, out)
                self.assertIn(expected, out)


if __name__ == "__main__":
    unittest.main()

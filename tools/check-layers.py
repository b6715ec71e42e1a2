#!/usr/bin/env python3
"""Holds the sources to their layers: every include points down the stack, and Qt stays where
it belongs.

The folders under src/ are the layers, bottom to top:

    platform < model < protocol < links < engine < sites < host < host/bus, host/mqtt < ui < app

A file may include its own folder and the folders below it, never one above. Qt (a <Q...>
header, or one of ours from src/platform/qt, which pull Qt in) may be included only in
src/platform/qt, src/host/bus, src/ui and src/app. A folder that is not in the list fails too,
so a new one has to be given its place here first.

Usage: check-layers.py [REPOSITORY]   (default: the repository this script is in)
Exit status 0 when every include is in order, 1 with one line per offence otherwise.
"""
import pathlib
import re
import sys

LAYERS = ["platform", "platform/qt", "model", "protocol", "links", "engine", "sites", "host",
          "host/bus", "host/mqtt", "ui", "app"]
# platform/qt sits with the platform (it implements its interfaces) but only the Qt folders may
# include it: its rank is the platform's, its use is limited by the Qt rule below.
RANK = {name: index for index, name in enumerate(LAYERS)}
RANK["platform/qt"] = RANK["platform"]
# The bus adaptor and the MQTT bridge are two hosts side by side: neither includes the other.
RANK["host/mqtt"] = RANK["host/bus"]
QT_FOLDERS = {"platform/qt", "host/bus", "ui", "app"}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
QT_HEADER = re.compile(r"^Qt[A-Za-z]*/|^Q[A-Z][A-Za-z]*$|^q[a-z]+\.h$")


def layer_of(relative: str):
    """The layer a path under src/ belongs to: the deepest listed folder that holds it."""
    parts = relative.split("/")
    for depth in range(len(parts) - 1, 0, -1):
        folder = "/".join(parts[:depth])
        if folder in RANK:
            return folder
    return None


def check(root: pathlib.Path):
    src = root / "src"
    offences = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in {".h", ".hpp", ".cpp", ".cc"} or not path.is_file():
            continue
        relative = path.relative_to(src).as_posix()
        own = layer_of(relative)
        if own is None:
            offences.append(f"src/{relative}: folder {path.parent.relative_to(src).as_posix()!r} "
                            "is no layer (give it a place in tools/check-layers.py)")
            continue
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            bracket, target = match.groups()
            where = f"src/{relative}:{number}"
            is_qt = (bracket == "<" and QT_HEADER.search(target)) or target.startswith("platform/qt/")
            if is_qt and own not in QT_FOLDERS:
                offences.append(f"{where}: includes Qt ({target}) outside "
                                "src/platform/qt, src/host/bus, src/ui and src/app")
                continue
            if bracket != '"':
                continue
            theirs = layer_of(target)
            if theirs is not None and theirs != own and {theirs, own} == {"host/bus", "host/mqtt"}:
                offences.append(f"{where}: {own}/ includes {target}: the two hosts stay apart")
            elif theirs is not None and RANK[theirs] > RANK[own]:
                offences.append(f"{where}: {own}/ includes {target}, a layer above it ({theirs}/)")
    return offences


def main(argv):
    root = pathlib.Path(argv[1]) if len(argv) > 1 else pathlib.Path(__file__).resolve().parent.parent
    offences = check(root)
    for offence in offences:
        print(offence)
    if offences:
        print(f"layers: {len(offences)} include(s) out of order")
        return 1
    print("layers: every include points down the stack")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

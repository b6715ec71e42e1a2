#!/usr/bin/python3
"""Writes the fuzz targets' seed inputs into fuzz/corpus/<target>/ from real frames: the
requests and replies pymodbus builds (tests/integration/protocol/protocol_vectors.py, the same
vectors the cross-check test compares with), each in the layout its target reads, plus the point
addresses and parameter lists hosts send, MQTT bridge configurations, and bus calls that walk a
host's session. Seeds are named seed-<hash>, so writing them again changes nothing (a campaign's
minimising renames them).
Usage: /usr/bin/python3 tools/fuzz-seeds.py"""

import hashlib
import os
import re
import struct
import subprocess
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
VECTORS = os.path.join(ROOT, "tests", "integration", "protocol", "protocol_vectors.py")

ADDRESSES = ["1-HREG100", "HREG1", "OUT5", "2-IN17", "IREG40", "247-HREG65536", "1-OUT0",
             "192.168.1.5:1502-HREG4", "[fd00::7]:502-3-IREG2", "HREG", "-1-HREG5", "1-HREG1.5",
             "1-HREG100:3", "00001", "400001", "1-F3-100"]
LISTS = [
    "COMMAND=POINTGETVALUE\nPOINT={x}{1-HREG100}",
    "DESCRIPTION=Plant\nBP3=TRUE\nSP3=127.0.0.1:1502\nOFFLINE=FALSE",
    "COMMAND=SENDPOINTSLIST\nPOINT0={a}{HREG1}\nPOINT1={b}{OUT2}\nPOINT2=",
    "VERSIONCHECK=1.8",
    "COMPORT=3\nBAUDRATE=19200\nBP2=TRUE\nIP1=1\nIP2=2",
    "COMMAND=POINTMODIFY\nPOINT={p}{1-HREG30}{VALUE=-ON}",
    "=empty key\nKEY==\nKEY",
]

# MQTT bridge configurations: a small good one, the shipped example (read from packaging/), and
# near misses on the checks past the TOML grammar.
MQTT_BROKER = '[broker]\nurl = "mqtt://127.0.0.1:1883"\nnode = "plant"\n'
MQTT_SITE = ('[[site]]\nname = "boiler"\ntransport = "tcp"\nhost = "127.0.0.1"\nport = 502\n'
             '  [[site.point]]\n  name = "t"\n  address = "IREG1"\n  deadband = 0.5\n')
MQTT_CONFIGS = [
    MQTT_BROKER + MQTT_SITE,
    MQTT_BROKER + 'username = "u"\npassword_file = "p"\nkeepalive = 30\n' + MQTT_SITE,
    MQTT_BROKER + '[[site]]\nname = "line"\ntransport = "rtu"\ncom_port = 1\nbaud = 19200\n'
    'parity = "even"\nstop_bits = 1\nrs485 = true\ninterval_ms = 100\n'
    '  [[site.point]]\n  name = "c"\n  address = "1-OUT1"\n  writable = true\n',
    'site = [{name = "s", transport = "tcp", host = "h", '
    'point = [{name = "p", address = "HREG1,0,32,FLOAT"}]}]\n' + MQTT_BROKER,
    MQTT_BROKER + MQTT_SITE + MQTT_SITE,
]


def names(path, array):
    """The texts of a C++ array of names (kKeys, kMembers, ...) in a fuzz source, in order."""
    with open(os.path.join(ROOT, "fuzz", path)) as f:
        source = f.read()
    body = re.search(r"\b" + array + r"\[\] = \{(.*?)\};", source, re.S).group(1)
    return re.findall(r'"([^"]*)"', body)


def host_sessions(target):
    """Bus fuzz inputs that walk a host's session, in the bytes the bus target draws from (from
    its own lists of interfaces and members): a driver object, the version check, an open
    site (offline, or on Modbus/TCP), then a command. Random inputs seldom find that order, and
    the commands' paths lie behind it."""
    keys, values = names("FuzzDraw.h", "kKeys"), names("FuzzDraw.h", "kValues")
    interfaces = names(target + ".cpp", "kInterfaces")
    members = names(target + ".cpp", "kMembers")

    def word(n):
        return struct.pack(">I", n)

    def call(member, interface, params, on_object, pause):
        data = b"\x00" + (word(0) if on_object else b"")  # the object the first call made
        data += b"\x00" + word(interfaces.index(interface)) + word(members.index(member))
        if not params:  # no argument
            return data + b"\xff" + word(0) + b"\x00" + word(pause)
        data += b"\x00" + word(0) + word(len(params))  # one argument: a parameter list
        for key, value in params:
            data += word(keys.index(key)) + b"\x00" + word(values.index(value))
        return data + word(pause)

    sites = [[("DESCRIPTION", "Plant"), ("OFFLINE", "TRUE")],
             [("DESCRIPTION", "Plant"), ("BP3", "TRUE"), ("SP3", "127.0.0.1:1502")]]
    commands = [[("COMMAND", "SITETIME")], [("COMMAND", "SITESTATUS")],
                [("COMMAND", "POINTVERIFY"), ("POINTADDRESS", "{a}{1-HREG1}")],
                [("COMMAND", "POINTGETVALUE"), ("POINT", "{a}{1-HREG1}")],
                [("COMMAND", "POINTMODIFY"), ("POINT", "{x}{HREG40}{VALUE=5}")],
                [("COMMAND", "GETPOINTSLIST")], [("COMMAND", "GETALARMS")],
                [("COMMAND", "LOCKCLIENT")], [("COMMAND", "COMMANDSTATUS")]]
    driver = "QorDevice.IQorDeviceDriver"
    seeds = []
    for site in sites:
        opened = (word(3) + call("CreateInstance", "QorModBus.ClassFactory", [], False, 0) +
                  call("SetDriverOption", driver, [("VERSIONCHECK", "1.8")], True, 0) +
                  call("OpenSite", driver, site, True, 1))
        for command in commands:
            seeds.append(opened + call("ExecuteCommand", driver, command, True, 3))
        seeds.append(opened + call("ExecuteImmediate", driver,
                                   [("COMMAND", "SENDPOINTSLIST"), ("POINT0", "{a}{1-HREG1}")],
                                   True, 3))
    return seeds


def write(target, data):
    folder = os.path.join(ROOT, "fuzz", "corpus", target)
    os.makedirs(folder, exist_ok=True)
    name = "seed-" + hashlib.sha1(data).hexdigest()[:16]
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def request_text(framing, frame):
    """The hex text the codec frames a request from: address, function and data."""
    if framing == "RTU":
        return frame[:-2].hex().upper().encode()
    return frame[1:-4]  # ":" ... LRC CR LF


def main():
    result = subprocess.run(["/usr/bin/python3", VECTORS], capture_output=True, text=True,
                            check=True)
    request = None
    for line in result.stdout.splitlines():
        fields = line.split()
        if fields[0] == "request":
            framing, frame = fields[1], bytes.fromhex(fields[4])
            request = (framing, frame) if fields[3] == "-" else None
            text = request_text(framing, frame)
            # fuzz_check_reply: flags, a count, the request text, then the receive buffer.
            flags = 1 if framing == "RTU" else 0
            write("fuzz_check_reply", bytes([flags]) + struct.pack("<h", 0) +
                  bytes([len(text)]) + text + frame)  # the echo of the request
            continue
        if fields[0] != "reply" or request is None:
            continue
        framing, reply = fields[1], bytes.fromhex(fields[3])
        text = request_text(framing, request[1])
        flags = 1 if framing == "RTU" else 0
        write("fuzz_check_reply", bytes([flags]) + struct.pack("<h", 0) + bytes([len(text)]) +
              text + reply)
        if framing == "ASCII":
            write("fuzz_ascii_reply", reply)
        else:
            # fuzz_tcp_reply: the same PDU behind a Modbus/TCP header (flag 1: the request's).
            pdu = reply[1:-2]
            header = struct.pack(">HHHB", 0, 0, len(pdu) + 1, reply[0])
            write("fuzz_tcp_reply", bytes([1]) + header + pdu)
            write("fuzz_tcp_reply", bytes([1]) + header + pdu + header + pdu)
    for address in ADDRESSES:
        for tcp in (0, 1):
            write("fuzz_point_address", bytes([tcp]) + address.encode())
    for text in LISTS:
        write("fuzz_param_list", text.encode())
    with open(os.path.join(ROOT, "packaging", "qormodbus-mqtt.toml")) as f:
        example = f.read()
    for text in MQTT_CONFIGS + [example]:
        write("fuzz_mqtt_config", text.encode())
    target = "fuzz_sdbus_call"
    for seed in [b"", b"\x00" * 16, bytes(range(64)), b"\xff" * 32] + host_sessions(target):
        write(target, seed)
    print("seeds written to fuzz/corpus/")


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""A simulated Hayes modem on a pseudo-terminal, for tests of the dialer and the modem links.

It creates a pseudo-terminal, links its device as COM<n> in a directory (the driver finds it
there through QORMODBUS_COMDIR), prints "ready <device>" on standard output and answers AT
commands on it until it is terminated (SIGTERM or SIGINT) or --lifetime runs out.

Command mode:
  AT...      OK; E0/E1 switch the echo of typed characters off/on; H hangs up; Z resets.
  ATD...     answered after --dial-delay seconds according to --mode:
               connect    CONNECT <baud> (see --connect-text), then data mode
               busy       BUSY
               nocarrier  NO CARRIER
               noanswer   NO ANSWER
               nodialtone NO DIALTONE
               error      ERROR
               silent     nothing at all (the dialer's time-out is what ends the call)
             Any character received while a dial is pending abandons it, as on a real modem.
  --mode dead answers nothing, not even OK, and echoes nothing.
Data mode: bytes are swallowed (or echoed back with --loopback, or answered as a Modbus RTU
slave behind the call with --slave VALUE: every register read gets VALUE in each register);
"+++" with --guard seconds of silence before and after returns to command mode with OK; ATH then
hangs up. SIGUSR1 drops the call as a line that fails does: "NO CARRIER", back to command mode.

A pseudo-terminal has no modem lines, so the simulator raises no carrier (DCD) and ignores DTR.
It keeps a descriptor of its own device open so that the driver's open-and-close availability
check does not hang the line up under it.
"""

import argparse
import os
import pty
import select
import signal
import sys
import time
import tty

MODES = ("connect", "busy", "nocarrier", "noanswer", "nodialtone", "error", "silent", "dead")
DIAL_RESULTS = {
    "busy": "BUSY",
    "nocarrier": "NO CARRIER",
    "noanswer": "NO ANSWER",
    "nodialtone": "NO DIALTONE",
    "error": "ERROR",
}


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc.to_bytes(2, "little")


class Modem:
    def __init__(self, fd, args):
        self.fd = fd
        self.args = args
        self.echo = True
        self.line = b""
        self.online = False
        self.dialling = False  # a dial is under way (and may be abandoned)
        self.dial_due = None  # when it gets its answer
        self.last_rx = time.monotonic()
        self.plus = 0  # "+" characters of an escape seen in data mode
        self.plus_at = 0.0
        self.frame = b""  # a Modbus request under way, with --slave
        self.drop = False  # SIGUSR1: the carrier goes

    def log(self, text):
        if self.args.verbose:
            print("modem_sim:", text, file=sys.stderr, flush=True)

    def send(self, data):
        os.write(self.fd, data)

    def result(self, text):
        self.log("-> " + text)
        self.send(b"\r\n" + text.encode() + b"\r\n")

    def received(self, data):
        now = time.monotonic()
        if self.args.mode == "dead":
            self.last_rx = now
            return
        for byte in data:
            if self.online:
                self.data_mode_byte(byte, now)
            else:
                self.command_byte(byte)
        self.last_rx = now

    def data_mode_byte(self, byte, now):
        if byte == ord("+") and (self.plus > 0 or now - self.last_rx >= self.args.guard):
            self.plus += 1
            self.plus_at = now
            return
        if self.plus:
            if self.args.loopback:
                self.send(b"+" * self.plus)
            self.plus = 0
        if self.args.loopback:
            self.send(bytes([byte]))
        if self.args.slave is not None:
            self.frame = (self.frame + bytes([byte]))[-8:]
            if len(self.frame) == 8 and crc16(self.frame[:6]) == self.frame[6:]:
                unit, function, count = self.frame[0], self.frame[1], self.frame[5]
                self.frame = b""
                if function in (3, 4):
                    value = self.args.slave.to_bytes(2, "big")
                    pdu = bytes([unit, function, 2 * count]) + value * count
                    self.send(pdu + crc16(pdu))

    def command_byte(self, byte):
        if self.dialling:
            self.dialling = False
            self.dial_due = None
            self.log("dial abandoned")
            self.result("NO CARRIER")
            return
        if self.echo:
            self.send(bytes([byte]))
        if byte in (0x0A,):
            return
        if byte != 0x0D:
            self.line += bytes([byte])
            return
        line, self.line = self.line.decode("latin-1").strip().upper(), b""
        if line:
            self.command(line)

    def command(self, line):
        self.log("<- " + line)
        if not line.startswith("AT"):
            self.result("ERROR")
            return
        body, i = line[2:], 0
        while i < len(body):
            letter, i = body[i], i + 1
            if letter == "D":  # the rest of the line is the number
                self.dialling = True
                self.dial_due = time.monotonic() + self.args.dial_delay
                return
            if letter in "&\\%":  # extended commands such as &C1, &D2: not ours to act on
                i += 1
            value = ""
            while i < len(body) and (body[i].isdigit() or body[i] in "=?"):
                value, i = value + body[i], i + 1
            if letter == "E":
                self.echo = value != "0"
            elif letter == "Z":
                self.echo = True
                self.online = False
            elif letter == "H":
                self.online = False
        self.result("OK")

    def tick(self):
        now = time.monotonic()
        if self.drop:
            self.drop = False
            if self.online:
                self.log("carrier lost")
                self.online = False
                self.result("NO CARRIER")
        if self.dial_due is not None and now >= self.dial_due:
            self.dial_due = None
            mode = self.args.mode
            if mode == "connect":
                self.dialling = False
                self.result(self.args.connect_text)
                self.online = True
                self.last_rx = now
            elif mode in DIAL_RESULTS:
                self.dialling = False
                self.result(DIAL_RESULTS[mode])
            # silent: the call rings on until the dialer gives it up
        if self.plus >= 3 and now - self.plus_at >= self.args.guard:
            self.plus = 0
            if now - self.last_rx >= self.args.guard:
                self.log("escape to command mode")
                self.online = False
                self.result("OK")

    def timeout(self):
        """How long select may sleep before tick() has something to do."""
        waits = []
        if self.dial_due is not None:
            waits.append(self.dial_due - time.monotonic())
        if self.plus >= 3:
            waits.append(self.plus_at + self.args.guard - time.monotonic())
        return max(0.0, min(waits)) if waits else 0.1


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dir", required=True, help="directory for the COM<n> link")
    parser.add_argument("--port", type=int, required=True, help="COM port number n")
    parser.add_argument("--mode", choices=MODES, default="connect",
                        help="how a dial is answered (default: connect)")
    parser.add_argument("--connect-text", default="CONNECT 9600",
                        help="result of a successful dial (default: CONNECT 9600)")
    parser.add_argument("--dial-delay", type=float, default=0.2,
                        help="seconds from the dial command to its result (default: 0.2)")
    parser.add_argument("--guard", type=float, default=0.4,
                        help="escape guard time in seconds around +++ (default: 0.4)")
    parser.add_argument("--loopback", action="store_true",
                        help="echo data-mode bytes back, as a remote that echoes")
    parser.add_argument("--slave", type=int, metavar="VALUE",
                        help="in data mode, answer Modbus RTU register reads with VALUE")
    parser.add_argument("--lifetime", type=float, default=120.0,
                        help="seconds after which the simulator exits on its own (default: 120)")
    parser.add_argument("--verbose", action="store_true", help="log the dialogue to stderr")
    args = parser.parse_args()

    master, slave = pty.openpty()
    tty.setraw(slave)  # no echo or line editing by the kernel: the modem does its own
    device = os.ttyname(slave)
    link = os.path.join(args.dir, "COM%d" % args.port)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(device, link)

    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    signal.signal(signal.SIGINT, lambda *_: stop.append(1))
    modem = Modem(master, args)
    signal.signal(signal.SIGUSR1, lambda *_: setattr(modem, "drop", True))
    print("ready", device, flush=True)

    deadline = time.monotonic() + args.lifetime
    try:
        while not stop and time.monotonic() < deadline:
            try:
                readable, _, _ = select.select([master], [], [], modem.timeout())
            except InterruptedError:
                continue
            if readable:
                try:
                    data = os.read(master, 4096)
                except OSError:
                    data = b""
                if data:
                    modem.received(data)
            modem.tick()
    finally:
        if os.path.islink(link) and os.readlink(link) == device:
            os.unlink(link)
        os.close(master)
        os.close(slave)


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""qmb-devsim: a small Modbus slave for trying the driver without hardware.

Serves Modbus/TCP on a port of 127.0.0.1 (or another address), or RTU frames over TCP there as
a serial device server passes them (--tcp-framer rtu), and Modbus RTU or ASCII on a
pseudo-terminal that it creates and links as COM<n> in $QORMODBUS_COMDIR, where the driver
looks for its serial ports. Every unit (slave) address is answered unless --unit is given.

Points, numbered as the driver numbers them (wire address = number - 1):
  HREG1   seconds since the simulator started (wraps at 65536)
  HREG2   a slow wave, 0..1000, period 20 s
  HREG3   a ramp, 0..999, ten steps a second
  HREG4-9 fixed: 1111, 2222, ... 6666
  HREG10-100, OUT2-100  plain storage: writes are kept and read back
  IREG1   a "temperature" in tenths, 200 +/- 50, period 60 s
  IREG2   number of writes received so far
  OUT1    toggles every second
  IN1     toggles every 5 s
  IN2     the opposite of OUT2 (so a coil write shows on an input)

Addresses past 100 of a kind answer with exception 2 (Illegal Data Address). With --verbose,
each request is logged with its reply on standard error:
  qmb-devsim: unit 1 read HREG4-5 -> 1111 2222
  qmb-devsim: unit 1 write HREG20 <- 1234 -> done
  qmb-devsim: unit 1 read HREG300 -> exception 2 (IllegalAddress)

A pseudo-terminal has no baud rate: with --paced, each serial reply is held as a real line at
--baud would hold it (11 bits a character, the request and the reply on one half-duplex wire,
--turnaround between them), so that a poller's figures can be set against the wire's limit.

Runs until SIGINT or SIGTERM, then removes its COM link. Needs Debian's python3-pymodbus and
python3-serial-asyncio; run it with /usr/bin/python3.
"""

import argparse
import asyncio
import logging
import math
import os
import signal
import sys
import time
import tty

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server import StartAsyncSerialServer, StartAsyncTcpServer
from pymodbus.transaction import ModbusAsciiFramer, ModbusRtuFramer

POINTS = 100  # of each kind


class CountingBlock(ModbusSequentialDataBlock):
    """A data block that counts the writes hosts make (not the simulator's own updates)."""

    writes = 0
    internal = False

    def setValues(self, address, values):  # noqa: N802 (pymodbus' name)
        if not CountingBlock.internal:
            CountingBlock.writes += 1
        super().setValues(address, values)


# The driver's kind word for each function code pymodbus hands the data store.
KINDS = {1: "OUT", 5: "OUT", 15: "OUT", 2: "IN", 3: "HREG", 6: "HREG", 16: "HREG", 4: "IREG"}
log = logging.getLogger("qmb-devsim")


class TracedSlave(ModbusSlaveContext):
    """Notes what a request asked of the data store, so the reply can be logged beside it."""

    access = None

    def validate(self, fc_as_hex, address, count=1):
        valid = super().validate(fc_as_hex, address, count)
        TracedSlave.access = [fc_as_hex, address, count, None]
        return valid

    def getValues(self, fc_as_hex, address, count=1):  # noqa: N802 (pymodbus' name)
        values = super().getValues(fc_as_hex, address, count)
        if TracedSlave.access and fc_as_hex not in (5, 6, 15, 16):
            TracedSlave.access[3] = values
        return values

    def setValues(self, fc_as_hex, address, values):  # noqa: N802 (pymodbus' name)
        if TracedSlave.access and not CountingBlock.internal:
            TracedSlave.access[3] = list(values)
        super().setValues(fc_as_hex, address, values)


def trace_reply(response):
    """pymodbus' response hook: one line per request and its reply (with --verbose)."""
    access, TracedSlave.access = TracedSlave.access, None
    if access is None:
        log.info("unit %s function %s -> %s", response.unit_id, response.function_code, response)
        return response, False
    fc, address, count, values = access
    first = f"{KINDS.get(fc, f'function {fc} at ')}{address + 1}"
    span = first if count <= 1 else f"{first}-{address + count}"
    shown = " ".join(str(int(v)) for v in values or [])
    if response.isError():
        outcome = f"exception {response.exception_code} ({str(response).split(', ')[-1][:-1]})"
    elif fc in (5, 6, 15, 16):
        outcome = f"<- {shown} -> done"
    else:
        outcome = f"-> {shown}"
    verb = "write" if fc in (5, 6, 15, 16) else "read"
    log.info("unit %s %s %s %s", response.unit_id, verb, span,
             outcome if not response.isError() else f"-> {outcome}")
    return response, False


def make_context():
    # zero_mode: the block index is the wire address, so HREG<n> lives at n - 1.
    return TracedSlave(
        di=CountingBlock(0, [0] * POINTS),
        co=CountingBlock(0, [0] * POINTS),
        hr=CountingBlock(0, [0, 0, 0, 1111, 2222, 3333, 4444, 5555, 6666] + [0] * (POINTS - 9)),
        ir=CountingBlock(0, [0] * POINTS),
        zero_mode=True,
    )


def update(slave, started):
    """Moves the changing points on; called ten times a second."""
    t = time.monotonic() - started
    CountingBlock.internal = True
    try:
        slave.setValues(3, 0, [int(t) % 65536,
                               int(round(500 + 500 * math.sin(2 * math.pi * t / 20))),
                               int(t * 10) % 1000])
        slave.setValues(4, 0, [int(round(200 + 50 * math.sin(2 * math.pi * t / 60))),
                               CountingBlock.writes % 65536])
        slave.setValues(1, 0, [int(t) % 2 == 0])
        out2 = slave.getValues(1, 1, 1)[0]
        slave.setValues(2, 0, [int(t / 5) % 2 == 0, not out2])
    finally:
        CountingBlock.internal = False


class PtyPort:
    """A serial port for the driver: a pseudo-terminal linked as COM<n>.

    pymodbus' serial server needs a device path of its own, so there are two pseudo-terminals
    and the simulator copies bytes between their master sides: the driver opens one slave side
    (through the COM link), pymodbus the other. Both slave sides are also held open here, so the
    ports stay usable while the driver closes and reopens its end.
    """

    def __init__(self, loop, link, pace=None):
        self.loop = loop
        self.link = link
        # (seconds a character takes on the wire, turnaround in seconds), or None: a
        # pseudo-terminal has no baud rate, so without pacing replies come as fast as pymodbus
        # makes them, far faster than any real line.
        self.pace = pace
        self.line_free = 0.0  # when the (half-duplex) line has carried everything so far
        self.device_master, self._device_slave = os.openpty()
        self.server_master, self._server_slave = os.openpty()
        for fd in (self._device_slave, self._server_slave):
            tty.setraw(fd)
        self.device_path = os.ttyname(self._device_slave)
        self.server_path = os.ttyname(self._server_slave)
        if os.path.islink(link):
            os.unlink(link)
        elif os.path.exists(link):
            raise SystemExit(f"qmb-devsim: {link} exists and is not a link; not replacing it")
        os.symlink(self.device_path, link)
        loop.add_reader(self.device_master, self._copy, self.device_master, self.server_master)
        loop.add_reader(self.server_master, self._copy, self.server_master, self.device_master)

    def _copy(self, source, target):
        try:
            data = os.read(source, 4096)
        except OSError:
            return
        if self.pace:
            # A request is on the wire for its length of characters; the reply starts a
            # turnaround after it, and is handed over once it has been on the wire in full.
            char_time, turnaround = self.pace
            now = self.loop.time()
            if source == self.device_master:
                self.line_free = max(self.line_free, now) + len(data) * char_time
            else:
                self.line_free = max(self.line_free + turnaround, now) + len(data) * char_time
                self.loop.call_at(self.line_free, self._write, target, data)
                return
        self._write(target, data)

    @staticmethod
    def _write(target, data):
        try:
            while data:
                data = data[os.write(target, data):]
        except OSError:
            pass

    def close(self):
        for fd in (self.device_master, self.server_master):
            self.loop.remove_reader(fd)
        if os.path.islink(self.link) and os.readlink(self.link) == self.device_path:
            os.unlink(self.link)
        for fd in (self.device_master, self.server_master, self._device_slave,
                   self._server_slave):
            os.close(fd)


async def run(args):
    loop = asyncio.get_running_loop()
    slave = make_context()
    context = (ModbusServerContext(slaves={args.unit: slave}, single=False)
               if args.unit is not None else ModbusServerContext(slaves=slave, single=True))
    started = time.monotonic()
    update(slave, started)

    stop = asyncio.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, stop.set)

    tasks, ready, port = [], [], None
    hooks = {"response_manipulator": trace_reply} if args.verbose else {}
    if args.tcp is not None:
        # RTU frames over the connection, as serial device servers pass them, with --tcp-framer
        # rtu.
        tcp_framer = {"framer": ModbusRtuFramer} if args.tcp_framer == "rtu" else {}
        tcp = await StartAsyncTcpServer(context=context, address=(args.host, args.tcp),
                                        defer_start=True, allow_reuse_address=True, **tcp_framer,
                                        **hooks)
        tasks.append(asyncio.create_task(tcp.serve_forever()))
        await asyncio.wait_for(tcp.serving, 10)
        bound = tcp.server.sockets[0].getsockname()
        ready.append(f"tcp={bound[0]}:{bound[1]}" + (":rtu" if args.tcp_framer == "rtu" else ""))
    if args.com is not None:
        comdir = args.comdir or os.environ.get("QORMODBUS_COMDIR")
        if not comdir:
            raise SystemExit("qmb-devsim: --com needs QORMODBUS_COMDIR or --comdir")
        os.makedirs(comdir, exist_ok=True)
        pace = (11 / args.baud, args.turnaround / 1000) if args.paced else None
        port = PtyPort(loop, os.path.join(comdir, f"COM{args.com}"), pace)
        framer = ModbusAsciiFramer if args.framer == "ascii" else ModbusRtuFramer
        serial = await StartAsyncSerialServer(context=context, framer=framer,
                                              port=port.server_path, baudrate=args.baud,
                                              defer_start=True, **hooks)
        await serial.start()
        ready.append(f"com=COM{args.com}:{args.framer}:{port.link}->{port.device_path}")
    if not ready:
        raise SystemExit("qmb-devsim: nothing to serve (give --tcp PORT and/or --com N)")

    print("qmb-devsim ready " + " ".join(ready), flush=True)
    try:
        while not stop.is_set():
            update(slave, started)
            try:
                await asyncio.wait_for(stop.wait(), 0.1)
            except asyncio.TimeoutError:
                pass
    finally:
        if port:
            port.close()
        for task in tasks:
            task.cancel()


def main():
    parser = argparse.ArgumentParser(
        prog="qmb-devsim", description=__doc__.split("\n", 1)[1],
        epilog="Examples:\n"
               "  qmb-devsim --tcp 1502                 Modbus/TCP on 127.0.0.1:1502\n"
               "  QORMODBUS_COMDIR=/tmp/com qmb-devsim --com 1 --framer rtu --verbose\n"
               "                                        RTU on a pseudo-terminal linked as "
               "/tmp/com/COM1\n"
               "then, for example: qmbctl DESCRIPTION=Sim BP3=TRUE SP3=127.0.0.1:1502 "
               "POINTGETVALUE POINT={a}{HREG4}",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tcp", type=int, metavar="PORT",
                        help="serve Modbus/TCP on this port (0: any free port)")
    parser.add_argument("--host", default="127.0.0.1", help="address for --tcp (default 127.0.0.1)")
    parser.add_argument("--tcp-framer", choices=("socket", "rtu"), default="socket",
                        help="--tcp: Modbus/TCP frames (socket, the default) or RTU frames over "
                             "the connection, as a serial device server passes them")
    parser.add_argument("--com", type=int, metavar="N", help="serve a serial line linked as COM<N>")
    parser.add_argument("--comdir", help="directory of the COM links (default $QORMODBUS_COMDIR)")
    parser.add_argument("--framer", choices=("rtu", "ascii"), default="rtu",
                        help="serial framing (default rtu)")
    parser.add_argument("--baud", type=int, default=38400, help="serial baud rate (default 38400)")
    parser.add_argument("--paced", action="store_true",
                        help="serial: hold each reply as a real line at --baud would (11 bits a "
                             "character, request and reply on one half-duplex wire)")
    parser.add_argument("--turnaround", type=float, default=2.0, metavar="MS",
                        help="--paced: the device's pause between request and reply "
                             "(default 2 ms)")
    parser.add_argument("--unit", type=int, help="answer this unit address only (default: all)")
    parser.add_argument("--verbose", action="store_true",
                        help="log every request with its reply on standard error")
    args = parser.parse_args()
    if args.com is not None and args.com < 1:
        parser.error("--com must be 1 or more")
    if args.baud < 1 or args.turnaround < 0:
        parser.error("--baud must be 1 or more and --turnaround 0 or more")
    # pymodbus sets up the root logger when imported: ours writes through a handler of its own.
    handler = logging.StreamHandler()
    handler.setFormatter(logging.Formatter("%(name)s: %(message)s"))
    log.addHandler(handler)
    log.propagate = False
    log.setLevel(logging.INFO if args.verbose else logging.WARNING)
    # pymodbus reports every client that hangs up as an error (twice); that is normal use here,
    # and its own debug lines are no help to someone trying the driver.
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
    try:
        asyncio.run(run(args))
    except OSError as error:
        sys.exit(f"qmb-devsim: {error}")


if __name__ == "__main__":
    main()

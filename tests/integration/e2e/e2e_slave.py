#!/usr/bin/python3
"""The end-to-end tests' Modbus slave: pymodbus serving known data, logging what it is asked.

Serves Modbus RTU or ASCII on a serial device (a pseudo-terminal the test made), or Modbus/TCP
on 127.0.0.1. On a serial line it answers units 1 and 2 and stays silent for every other unit,
as a device on a shared line does; on Modbus/TCP it answers every unit id (the driver sends FF)
with unit 1's data.

Data of unit u (1 or 2), point number n from 1 to 200 (wire address n - 1):
  holding register n   u * 10000 + n
  input register n     u * 10000 + 5000 + n
  coil n               on when (n + u) % 3 == 0
  discrete input n     on when (n + u) % 2 == 0
Anything from point 201 on is outside the device: reads end in exception 02.

Every request is logged as it reaches the data store, one line each, flushed at once, so the
test reads the slave's side of every exchange:
  REQUEST unit=U function=F address=A count=C
  WRITE unit=U function=F address=A values=V1,V2,...
(unit is "tcp" on Modbus/TCP). Once serving it prints "ready" on standard output; it runs until
SIGTERM or SIGINT. Needs Debian's python3-pymodbus (and python3-serial-asyncio for serial lines);
run it with /usr/bin/python3.
"""

import argparse
import asyncio
import logging
import os
import signal
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server import StartAsyncSerialServer, StartAsyncTcpServer
from pymodbus.transaction import ModbusAsciiFramer, ModbusRtuFramer, ModbusSocketFramer

POINTS = 200


class LoggingContext(ModbusSlaveContext):
    """A unit's data that writes every request and every write to the log."""

    def __init__(self, label, log, **kwargs):
        super().__init__(**kwargs)
        self.label = label
        self.log = log

    def _line(self, text):
        self.log.write(f"{text}\n")
        self.log.flush()

    def validate(self, fc_as_hex, address, count=1):
        self._line(f"REQUEST unit={self.label} function={fc_as_hex} address={address} "
                   f"count={count}")
        return super().validate(fc_as_hex, address, count)

    def setValues(self, fc_as_hex, address, values):  # noqa: N802 (pymodbus' name)
        shown = ",".join(str(int(v)) for v in values)
        self._line(f"WRITE unit={self.label} function={fc_as_hex} address={address} "
                   f"values={shown}")
        super().setValues(fc_as_hex, address, values)


def unit_data(unit, label, log):
    numbers = range(1, POINTS + 1)
    # zero_mode: block index = wire address, so point n lives at n - 1.
    return LoggingContext(
        label, log,
        hr=ModbusSequentialDataBlock(0, [unit * 10000 + n for n in numbers]),
        ir=ModbusSequentialDataBlock(0, [unit * 10000 + 5000 + n for n in numbers]),
        co=ModbusSequentialDataBlock(0, [(n + unit) % 3 == 0 for n in numbers]),
        di=ModbusSequentialDataBlock(0, [(n + unit) % 2 == 0 for n in numbers]),
        zero_mode=True)


async def serve(args, log):
    # A stopped slave is gone at once, as a device switched off is: the log is written line by
    # line, so nothing is left to tidy (an orderly asyncio shutdown takes seconds).
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: os._exit(0))
    serving = None

    if args.tcp is not None:
        # single: the data answers whatever unit id the request carries.
        context = ModbusServerContext(slaves=unit_data(1, "tcp", log), single=True)
        server = await StartAsyncTcpServer(context=context, address=("127.0.0.1", args.tcp),
                                           framer=ModbusSocketFramer, defer_start=True,
                                           allow_reuse_address=True)
        # Held here: the loop keeps only a weak reference to a task.
        serving = asyncio.create_task(server.serve_forever())
        await asyncio.wait_for(server.serving, 10)
        where = "tcp=%s:%d" % server.server.sockets[0].getsockname()[:2]
    else:
        context = ModbusServerContext(
            slaves={1: unit_data(1, "1", log), 2: unit_data(2, "2", log)}, single=False)
        framer = ModbusAsciiFramer if args.framer == "ascii" else ModbusRtuFramer
        server = await StartAsyncSerialServer(context=context, framer=framer, port=args.serial,
                                              baudrate=19200, bytesize=8, parity="N",
                                              stopbits=1, ignore_missing_slaves=True,
                                              defer_start=True)
        await server.start()
        # pymodbus drops a failed open without a word: without a transport nothing is served.
        if server.transport is None:
            print(f"e2e_slave: cannot open {args.serial}", file=sys.stderr, flush=True)
            return 2
        where = f"{args.framer}={args.serial}"

    print(f"ready {where}", flush=True)
    await asyncio.Event().wait()
    del serving
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--tcp", type=int, metavar="PORT", help="serve Modbus/TCP on 127.0.0.1")
    where.add_argument("--serial", metavar="DEVICE", help="serve this serial device")
    parser.add_argument("--framer", choices=("rtu", "ascii"), default="rtu")
    parser.add_argument("--log", required=True, help="append requests and writes to this file")
    parser.add_argument("--verbose", action="store_true", help="pymodbus' own debug log")
    args = parser.parse_args()
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.WARNING,
                        format="e2e_slave %(levelname)s: %(message)s")
    if not args.verbose:
        # pymodbus reports every exception reply and every client that hangs up as an error;
        # both are what the tests ask for.
        logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
    with open(args.log, "a", encoding="ascii") as log:
        return asyncio.run(serve(args, log))


if __name__ == "__main__":
    sys.exit(main())

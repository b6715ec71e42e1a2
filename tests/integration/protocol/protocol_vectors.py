#!/usr/bin/python3
"""Frames built by pymodbus, for comparison with our frame codec.

Prints one vector a line, fields separated by blanks, frames as hex of their bytes:

  request <ASCII|RTU> <address> <write value or -> <frame>
  reply   <ASCII|RTU> <address> <frame> <data|exception|foreign> <exception code> <value or ->

A request line is what pymodbus puts on the line for reading (value -) or writing the point.
A reply line is a reply to the read of that point; for "data" replies the value is what
pymodbus encoded, written as our driver reports it (TRUE/FALSE, or the register in decimal).

Exits non-zero (and so fails the test) when pymodbus is missing.
"""

import random
import sys

try:
    from pymodbus.bit_read_message import (
        ReadCoilsRequest,
        ReadCoilsResponse,
        ReadDiscreteInputsRequest,
        ReadDiscreteInputsResponse,
    )
    from pymodbus.bit_write_message import WriteSingleCoilRequest
    from pymodbus.factory import ClientDecoder
    from pymodbus.framer.ascii_framer import ModbusAsciiFramer
    from pymodbus.framer.rtu_framer import ModbusRtuFramer
    from pymodbus.pdu import ExceptionResponse
    from pymodbus.register_read_message import (
        ReadHoldingRegistersRequest,
        ReadHoldingRegistersResponse,
        ReadInputRegistersRequest,
        ReadInputRegistersResponse,
    )
    from pymodbus.register_write_message import WriteSingleRegisterRequest
except ImportError as error:
    print(f"pymodbus is not available ({error}); install python3-pymodbus", file=sys.stderr)
    sys.exit(2)

FRAMERS = {
    "ASCII": ModbusAsciiFramer(ClientDecoder()),
    "RTU": ModbusRtuFramer(ClientDecoder()),
}

# kind word: (read request, read response, function code, is register)
KINDS = {
    "OUT": (ReadCoilsRequest, ReadCoilsResponse, 1, False),
    "IN": (ReadDiscreteInputsRequest, ReadDiscreteInputsResponse, 2, False),
    "HREG": (ReadHoldingRegistersRequest, ReadHoldingRegistersResponse, 3, True),
    "IREG": (ReadInputRegistersRequest, ReadInputRegistersResponse, 4, True),
}


def emit(*fields):
    print(" ".join(str(f) for f in fields))


def address_text(slave, kind, number):
    return f"{slave}-{kind}{number}"


def read_vectors(framing, slave, kind, number, rng):
    framer = FRAMERS[framing]
    request_class, response_class, function, is_register = KINDS[kind]
    address = address_text(slave, kind, number)
    request = request_class(number - 1, 1, unit=slave)
    emit("request", framing, address, "-", framer.buildPacket(request).hex())

    if is_register:
        register = rng.choice([0, 1, 0x1234, 0x8000, 65534, 65535, rng.randrange(65536)])
        response = response_class([register], unit=slave)
        value = str(register)
    else:
        # A slave answers a one-bit read with one byte; only bit 0 is the point.
        bits = [rng.random() < 0.5 for _ in range(rng.choice([1, 3, 8]))]
        response = response_class(bits, unit=slave)
        value = "TRUE" if bits[0] else "FALSE"
    emit("reply", framing, address, framer.buildPacket(response).hex(), "data", 0, value)

    code = rng.choice([1, 2, 3, 4, 5, 6, 7, 8, 10, 11])
    exception = ExceptionResponse(function, code, unit=slave)
    emit("reply", framing, address, framer.buildPacket(exception).hex(), "exception", code, "-")

    other = (slave + 1) % 256
    foreign = response_class([1] if is_register else [True], unit=other)
    emit("reply", framing, address, framer.buildPacket(foreign).hex(), "foreign", 0, "-")


def write_vectors(framing, slave, kind, number, rng):
    framer = FRAMERS[framing]
    address = address_text(slave, kind, number)
    if kind == "OUT":
        text = rng.choice(["ON", "OFF", "1", "0", "TRUE", "FALSE"])
        state = text in ("ON", "1", "TRUE")
        request = WriteSingleCoilRequest(number - 1, state, unit=slave)
    else:
        register = rng.choice([0, 1, 0x1234, 65535, rng.randrange(65536)])
        text = str(register)
        request = WriteSingleRegisterRequest(number - 1, register, unit=slave)
    emit("request", framing, address, text, framer.buildPacket(request).hex())


def main():
    rng = random.Random(20240531)
    slaves = [0, 1, 17, 247, 255]
    numbers = [1, 2, 100, 10000, 40001, 65535]
    for framing in FRAMERS:
        for kind in KINDS:
            for slave in slaves:
                for number in numbers:
                    read_vectors(framing, slave, kind, number, rng)
                    if kind in ("OUT", "HREG"):
                        write_vectors(framing, slave, kind, number, rng)


if __name__ == "__main__":
    main()

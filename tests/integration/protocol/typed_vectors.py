#!/usr/bin/python3
"""Typed register values built by pymodbus's payload builder, for comparison with our codec.

Prints one vector a line:

  <TYPE> <ORDER> <BITS> <value> <register> ...

value: an integer in decimal; a float as its IEEE bits in hex (0x...), so that the comparison is
exact whatever the text; a string as the hex of its bytes ("-" when empty). Registers are four
hex digits each, as they go on the wire. Every vector is also read back through pymodbus's
decoder, so the builder and decoder agree on it before we are compared with them.

pymodbus's builder leaves a string's bytes alone in every order; a device that keeps its
characters byte-swapped (BADC, DCBA) is written here by swapping them after the builder.
Exits non-zero (and so fails the test) when pymodbus is missing.
"""

import math
import struct
import sys

try:
    from pymodbus.constants import Endian
    from pymodbus.payload import BinaryPayloadBuilder, BinaryPayloadDecoder
except ImportError as error:
    print(f"pymodbus is not available ({error}); install python3-pymodbus", file=sys.stderr)
    sys.exit(2)

ORDERS = {  # byte order within a word, word order
    "ABCD": (Endian.Big, Endian.Big),
    "CDAB": (Endian.Big, Endian.Little),
    "BADC": (Endian.Little, Endian.Big),
    "DCBA": (Endian.Little, Endian.Little),
}
INF, NAN = math.inf, math.nan
# type: (bits, builder method, decoder method, values)
NUMBERS = {
    "WORD": (16, "16bit_uint", [0, 1, 0x1234, 0xFFFF]),
    "INT": (16, "16bit_int", [-32768, -1, 0, 0x1234, 32767]),
    "DWORD": (32, "32bit_uint", [0, 0x11223344, 0xFFFFFFFF]),
    "DINT": (32, "32bit_int", [-2**31, -1, 0x11223344, 2**31 - 1]),
    "LWORD": (64, "64bit_uint", [0, 0x1122334455667788, 2**64 - 1]),
    "LINT": (64, "64bit_int", [-2**63, -1, 0x1122334455667788, 2**63 - 1]),
    "FLOAT": (32, "32bit_float", [0.0, -0.0, 1.5, -3.25e-5, 0.1, 3.4028234663852886e38,
                                  1.401298464324817e-45, 16777217.0, INF, -INF, NAN]),
    "DOUBLE": (64, "64bit_float", [0.0, -0.0, 0.1, -2.5, 1e308, 5e-324, 123456789012.0, INF,
                                   -INF, NAN]),
}
STRINGS = [(b"ABC\xe9", 32), (b"Pump 1", 64), (b"XYZ", 24), (b"A\x00B", 24), (b"", 16),
           (b"\xff\xfe", 16)]


def registers(order, add):
    builder = BinaryPayloadBuilder(byteorder=ORDERS[order][0], wordorder=ORDERS[order][1])
    add(builder)
    return builder.to_registers()


def emit(kind, order, bits, value, words):
    print(kind, order, bits, value, " ".join(f"{w:04X}" for w in words))


def main():
    for kind, (bits, method, values) in NUMBERS.items():
        for order in ORDERS:
            for value in values:
                words = registers(order, lambda b: getattr(b, "add_" + method)(value))
                decoder = BinaryPayloadDecoder.fromRegisters(
                    words, byteorder=ORDERS[order][0], wordorder=ORDERS[order][1])
                back = getattr(decoder, "decode_" + method)()
                if kind in ("FLOAT", "DOUBLE"):
                    pack = ">f" if bits == 32 else ">d"
                    field = "0x" + struct.pack(pack, value).hex()
                    assert struct.pack(pack, back) == struct.pack(pack, value), (kind, value)
                else:
                    field = str(value)
                    assert back == value, (kind, order, value, back)
                emit(kind, order, bits, field, words)
    for text, bits in STRINGS:
        for order in ORDERS:
            words = registers(order, lambda b: b.add_string(text.ljust(bits // 8, b"\0")))
            decoder = BinaryPayloadDecoder.fromRegisters(words, byteorder=ORDERS[order][0])
            assert decoder.decode_string(bits // 8) == text.ljust(bits // 8, b"\0")
            if order in ("BADC", "DCBA"):
                words = [((w << 8) | (w >> 8)) & 0xFFFF for w in words]
            emit("STRING", order, bits, text.hex() or "-", words)


if __name__ == "__main__":
    main()

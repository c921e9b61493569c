"""The values of the property-list round-trip test, through Python's plistlib.

  plistlib_peer.py write FILE   writes them to FILE as a binary property list
  plistlib_peer.py check FILE   exits 0 when FILE holds exactly them

Compared bit for bit: reals by their hexadecimal form, UIDs apart from
integers, dates as their 8 bytes (plistlib's datetime keeps microseconds of
years 1 to 9999 only, so its binary reader and writer are handed those).
"""
import plistlib
import struct
import sys


class Date(bytes):
    """A date: the big-endian double of seconds since 1 January 2001."""


class Reader(plistlib._BinaryPlistParser):
    def _read_object(self, ref):
        self._fp.seek(self._object_offsets[ref])
        if self._fp.read(1) == b"\x33":
            return Date(self._fp.read(8))
        return super()._read_object(ref)


class Writer(plistlib._BinaryPlistWriter):
    def _write_object(self, value):
        if not isinstance(value, Date):
            return super()._write_object(value)
        self._object_offsets[self._getrefnum(value)] = self._fp.tell()
        self._fp.write(b"\x33" + value)


EXPECTED = {
    "text": "caf\u00e9 \U0001F600",
    "ascii": "plain",
    "integers": [-1, 2**64 - 1, -2**63, 2**63 - 1],
    "reals": [0.1, -0.0, 0.5, float("inf"), float("nan"), 5e-324],
    "dates": [Date(struct.pack(">d", s)) for s in (
        494426096.789012, 494426096.0000001,           # a fraction below the microsecond
        2**31 + 0.25, -2**31 - 0.75,                   # beyond 32-bit seconds
        -63113904000.0, -63113904001.5, 252423993599.0,  # years 1 (and before) and 9999
        float("nan"), -0.0, 5e-324)],
    "uids": [plistlib.UID(0), plistlib.UID(255), plistlib.UID(70000), plistlib.UID(2**32 - 1)],
    "data": bytes(range(256)),
    "nested": [True, False, [], {"k": "v"}],
}


def canonical(value):
    if isinstance(value, bool):
        return ("bool", value)
    if isinstance(value, int):
        return ("int", value)
    if isinstance(value, float):
        return ("real", value.hex())
    if isinstance(value, plistlib.UID):
        return ("uid", value.data)
    if isinstance(value, Date):
        return ("date", bytes(value))
    if isinstance(value, (bytes, bytearray)):
        return ("data", bytes(value))
    if isinstance(value, list):
        return ("array", [canonical(item) for item in value])
    if isinstance(value, dict):
        return ("dict", sorted((key, canonical(item)) for key, item in value.items()))
    return (type(value).__name__, value)


def main(mode, path):
    if mode == "write":
        with open(path, "wb") as out:
            Writer(out, sort_keys=True, skipkeys=False).write(EXPECTED)
        return 0
    with open(path, "rb") as source:
        got = Reader(dict_type=dict).parse(source)
    if canonical(got) != canonical(EXPECTED):
        print("plistlib read:", got, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))

"""The values of the property-list round-trip test, through Python's plistlib.

  plistlib_peer.py write FILE   writes them to FILE as a binary property list
  plistlib_peer.py check FILE   exits 0 when FILE holds exactly them

Compared bit for bit: reals by their hexadecimal form (-0.0 is not 0.0),
dates to the microsecond (as plistlib reads them), UIDs apart from integers.
"""
import datetime
import plistlib
import sys

EXPECTED = {
    "text": "caf\u00e9 \U0001F600",
    "ascii": "plain",
    "integers": [-1, 2**64 - 1, -2**63, 2**63 - 1],
    "reals": [0.1, -0.0, 0.5, float("inf")],
    "dates": [
        datetime.datetime(2016, 9, 1, 12, 34, 56, 789012),
        datetime.datetime(1, 1, 1),
        datetime.datetime(9999, 12, 31, 23, 59, 59),
    ],
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
            plistlib.dump(EXPECTED, out, fmt=plistlib.FMT_BINARY)
        return 0
    with open(path, "rb") as source:
        got = plistlib.load(source)
    if canonical(got) != canonical(EXPECTED):
        print("plistlib read:", got, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))

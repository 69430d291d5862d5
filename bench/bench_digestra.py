"""orvex.digestra.hash(p) against decoding the parcel and hashing the value.

Targets: at least 3x faster than hash(unpack(p)) on the strings and tuples;
on a small int, a call within 2x of the builtin hash of a short byte string
(str on 2, bytes on 3)."""
import sys
from functools import partial

from benchlib import compare, heading
from orvex import digestra, parcel

BYTES = bytes.__name__  # str on 2
CASES = [
    ("int", 7),
    ("40-byte " + BYTES, b"The quick brown fox jumps over the dog.."),
    ("10-tuple of " + BYTES, tuple(b"field-%02d-value" % i for i in range(10))),
    ("1000-tuple of int", tuple(range(1000))),
]
BUILTIN = "builtin hash of a short " + BYTES

STRING_AND_TUPLE_TARGET = 3.0
INT_TARGET = 0.5  # ours may take up to twice the builtin's time


def decode_then_hash(p):
    return hash(parcel.unpack(p))


def run():
    heading("orvex.digestra")
    results = []
    for label, value in CASES:
        p = parcel.pack(value)
        baselines = [("hash(unpack(p))", partial(decode_then_hash, p))]
        if label == "int":
            baselines.append((BUILTIN, partial(hash, b"short")))
        ratios = compare("digestra.hash(%s)" % label, partial(digestra.hash, p), baselines)
        if label == "int":
            results.append((label, "vs builtin hash(%r)" % b"short", ratios[BUILTIN], INT_TARGET))
        else:
            results.append((label, "vs hash(unpack(p))", ratios["hash(unpack(p))"],
                            STRING_AND_TUPLE_TARGET))
    sys.stdout.write("\n")
    for label, against, ratio, target in results:
        verdict = "met" if ratio >= target else "MISSED"
        sys.stdout.write("%-20s %-26s %6.2fx (target >= %.1fx) %s\n"
                         % (label, against, ratio, target, verdict))


if __name__ == "__main__":
    run()

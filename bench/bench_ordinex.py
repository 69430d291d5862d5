"""orvex.ordinex.cmp against decoding both parcels and comparing the values,
and against the interpreter's cmp on values already decoded.

Targets: at least 3x faster than decode-then-compare on record tuples and on
20-element string tuples, at least 50x on 1,000-element lists that differ in
their first element, and per call within 2x of the builtin cmp(1, 2) on two
ints (a ratio of at least 0.5 against it)."""
import random
import sys
import time
from functools import partial

from benchlib import compare, fmt, heading
from orvex import ordinex
from orvex.parcel import pack, unpack

SORT_RECORDS = 100000


def cases():
    record = ("alice@example.com", 42)
    strings = tuple("header-%02d" % i for i in range(20))
    numbers = range(1000)
    return [
        ("two ints", 1, 2, None),
        ("(str, int) records", record, (record[0], 43), 3.0),
        ("20-string tuples, last differs", strings, strings[:-1] + ("header-99",), 3.0),
        ("1000-int lists, first differs", numbers, [-1] + numbers[1:], 50.0),
    ]


def decode_then_cmp(a, b):
    return cmp(unpack(a), unpack(b))


def time_once(func):
    start = time.time()
    func()
    return time.time() - start


def run():
    heading("orvex.ordinex")
    verdicts = []
    for label, a, b, target in cases():
        pa, pb = pack(a), pack(b)
        # Called as a sort calls its comparison: ordinex.cmp and the builtin
        # directly, decode-then-compare through the function it needs.
        ours = partial(ordinex.cmp, pa, pb)
        decode = partial(decode_then_cmp, pa, pb)
        decoded = partial(cmp, a, b)
        ratios = compare("ordinex.cmp: " + label, ours,
                         [("cmp(unpack(a), unpack(b))", decode), ("cmp(a, b) on values", decoded)])
        if target is None:
            verdicts.append(("%s: within 2x of builtin cmp(1, 2)" % label,
                             ratios["cmp(a, b) on values"], 0.5))
        else:
            verdicts.append(("%s: %gx decode-then-compare" % (label, target),
                             ratios["cmp(unpack(a), unpack(b))"], target))

    rng = random.Random(1)
    records = [("user%05d@example.com" % rng.randint(0, 99999), rng.randint(0, 1000))
               for _ in range(SORT_RECORDS)]
    parcels = [pack(r) for r in records]
    t_ours = time_once(lambda: sorted(parcels, cmp=ordinex.cmp))
    t_key = time_once(lambda: sorted(parcels, key=unpack))
    sys.stdout.write("%-46s %s\n    vs %-39s %s   ratio %6.2fx\n" % (
        "sorted(%d records, cmp=ordinex.cmp)" % SORT_RECORDS, fmt(t_ours),
        "sorted(parcels, key=unpack)", fmt(t_key), t_key / t_ours))

    sys.stdout.write("\ntargets:\n")
    for what, ratio, target in verdicts:
        sys.stdout.write("  %-62s %7.2fx  (target %gx) %s\n"
                         % (what, ratio, target, "met" if ratio >= target else "MISSED"))


if __name__ == "__main__":
    run()

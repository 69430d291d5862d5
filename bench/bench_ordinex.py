"""orvex.ordinex.cmp against decoding both parcels and comparing the values,
and against the interpreter's cmp on values already decoded.

Targets: at least 3x faster than decode-then-compare on record tuples and on
20-element string tuples, at least 50x on 1,000-element lists that differ in
their first element, and per call within 2x of the builtin cmp(1, 2) on two
ints (a ratio of at least 0.5 against it).

Sorting 100,000 and 2,000 record parcels: ordinex.sort at least 2.5x faster
than sorted(cmp=ordinex.cmp) and faster than sorted(key=unpack);
sorted(key=ordinex.sort_key) at least 1.5x faster than sorted(cmp=ordinex.cmp).

Python 3 has no cmp: there the builtin baseline is operator.lt (1 < 2 for
the two ints), decode-then-compare is unpack(a) < unpack(b), and the
comparer sorts through functools.cmp_to_key(ordinex.cmp)."""
import operator
import random
import sys
from functools import partial

from benchlib import compare, fmt, heading, per_call
from orvex import ordinex
from orvex.parcel import pack, unpack

SORT_SIZES = [100000, 2000]

if sys.version_info[0] < 3:
    DECODED = "cmp(unpack(a), unpack(b))"
    ON_VALUES = "cmp(a, b) on values"
    BUILTIN = "builtin cmp(1, 2)"
    value_cmp = cmp
    COMPARER_SORT = "sorted(cmp=ordinex.cmp)"
    COMPARER_HEAD = "vs cmp="
    COMPARER_SHORT = "sorted(cmp=)"

    def comparer_sorted(parcels):
        return sorted(parcels, cmp=ordinex.cmp)
else:
    from functools import cmp_to_key
    DECODED = "unpack(a) < unpack(b)"
    ON_VALUES = "a < b on values (operator.lt)"
    BUILTIN = "builtin operator.lt(1, 2)"
    value_cmp = operator.lt
    COMPARER_SORT = "sorted(key=cmp_to_key(ordinex.cmp))"
    COMPARER_HEAD = "vs cmp_to_key"
    COMPARER_SHORT = "sorted(cmp_to_key)"

    def comparer_sorted(parcels):
        return sorted(parcels, key=cmp_to_key(ordinex.cmp))


def text(s):
    """s as a byte string: str on 2, bytes on 3 (where str would pack as a
    pickle)."""
    return s.encode("ascii")


def cases():
    record = (text("alice@example.com"), 42)
    strings = tuple(text("header-%02d" % i) for i in range(20))
    numbers = list(range(1000))
    return [
        ("two ints", 1, 2, None),
        ("(str, int) records", record, (record[0], 43), 3.0),
        ("20-string tuples, last differs", strings, strings[:-1] + (text("header-99"),), 3.0),
        ("1000-int lists, first differs", numbers, [-1] + numbers[1:], 50.0),
    ]


def decode_then_cmp(a, b):
    return value_cmp(unpack(a), unpack(b))


def record_parcels(size):
    rng = random.Random(1)
    return [pack((text("user%05d@example.com" % rng.randint(0, 99999)), rng.randint(0, 1000)))
            for _ in range(size)]


def sort_records(size):
    """Times the four ways of sorting `size` record parcels; gives the
    verdicts of the sorting targets."""
    parcels = record_parcels(size)
    ways = [("ordinex.sort", partial(ordinex.sort, parcels)),
            ("sorted(key=ordinex.sort_key)", partial(sorted, parcels, key=ordinex.sort_key)),
            (COMPARER_SORT, partial(comparer_sorted, parcels)),
            ("sorted(key=unpack)", partial(sorted, parcels, key=unpack))]
    times = dict((name, per_call(func)) for name, func in ways)
    cmp_time, unpack_time = times[COMPARER_SORT], times["sorted(key=unpack)"]
    width = max([32] + [len(name) for name, _ in ways])
    sys.stdout.write("sorting %d record parcels%*s %s\n"
                     % (size, width + 7, COMPARER_HEAD, "vs key=unpack"))
    for name, func in ways:
        sys.stdout.write("    %-*s %s   %6.2fx   %6.2fx\n" % (
            width, name, fmt(times[name]), cmp_time / times[name], unpack_time / times[name]))
    return [
        ("%d records: ordinex.sort 2.5x %s" % (size, COMPARER_SHORT),
         cmp_time / times["ordinex.sort"], 2.5),
        ("%d records: ordinex.sort faster than sorted(key=unpack)" % size,
         unpack_time / times["ordinex.sort"], 1.0),
        ("%d records: sorted(key=sort_key) 1.5x %s" % (size, COMPARER_SHORT),
         cmp_time / times["sorted(key=ordinex.sort_key)"], 1.5),
    ]


def run():
    heading("orvex.ordinex")
    verdicts = []
    for label, a, b, target in cases():
        pa, pb = pack(a), pack(b)
        # Called as a sort calls its comparison: ordinex.cmp and the builtin
        # directly, decode-then-compare through the function it needs.
        ours = partial(ordinex.cmp, pa, pb)
        decode = partial(decode_then_cmp, pa, pb)
        decoded = partial(value_cmp, a, b)
        ratios = compare("ordinex.cmp: " + label, ours, [(DECODED, decode), (ON_VALUES, decoded)])
        if target is None:
            verdicts.append(("%s: within 2x of %s" % (label, BUILTIN), ratios[ON_VALUES], 0.5))
        else:
            verdicts.append(("%s: %gx decode-then-compare" % (label, target),
                             ratios[DECODED], target))

    for size in SORT_SIZES:
        verdicts.extend(sort_records(size))

    sys.stdout.write("\ntargets:\n")
    for what, ratio, target in verdicts:
        sys.stdout.write("  %-62s %7.2fx  (target %gx) %s\n"
                         % (what, ratio, target, "met" if ratio >= target else "MISSED"))


if __name__ == "__main__":
    run()

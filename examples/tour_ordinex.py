"""orvex.ordinex: two parcel strings in the interpreter's order of their
values, straight from their bytes."""
import random
import sys
from functools import partial

from benchlib import compare, heading
from orvex import ordinex, parcel

# With Python 2's cmp() of the values, which both interpreters' builds follow.
PAIRS = [
    (1, 2, -1),
    (True, 1.0, 0),
    (b"ABC", b"abc", -1),
    (b"ABD", b"abc", -1),
    ((b"alice", 7), (b"alice", 9), -1),
    ([b"Mail", (b"From", 25)], [b"mail", (b"from", 25)], -1),
    ({b"K": 1}, {b"k": 1}, -1),
    ({b"k": 1, 2: (3,)}, {b"k": 1, 2: [3]}, 1),
    (b"a string", (1,), -1),
    (2 ** 53 + 1, float(2 ** 53), 1),
]


def decode_then_cmp(a, b):
    x, y = parcel.unpack(a), parcel.unpack(b)
    return (x > y) - (x < y)


def key_from_cmp(func):
    """A sort key that orders as the comparison function does."""
    class Key(object):
        __slots__ = ["value"]

        def __init__(self, value):
            self.value = value

        def __lt__(self, other):
            return func(self.value, other.value) < 0
    return Key


def tour():
    heading("orvex.ordinex")
    sys.stdout.write("%-28s %-28s %4s %9s %15s\n"
                     % ("a", "b", "cmp", "case_cmp", "Python 2 cmp()"))
    for a, b, python2 in PAIRS:
        pa, pb = parcel.pack(a), parcel.pack(b)
        sys.stdout.write("%-28r %-28r %4d %9d %15d\n"
                         % (a, b, ordinex.cmp(pa, pb), ordinex.case_cmp(pa, pb), python2))
    sys.stdout.write("(case_cmp folds letters except inside dicts, which compare by Python 2's\n"
                     " rules on every interpreter; a long meeting a float outside dicts is\n"
                     " compared as a double, so 2**53 + 1 equals 2.0**53 there)\n")

    for a, b, what in [(b"\xff", b"N", "unknown code, None on the right"),
                       (b"\xff", b"i\x01", "unknown code on the left"),
                       (b"s\x01a", b"\xff", "unknown code after a string"),
                       (b"s\x05ab", b"s\x01a", "a cut string")]:
        try:
            result = repr(ordinex.cmp(a, b))
        except Exception:
            error = sys.exc_info()[1]
            result = "%s%r" % (type(error).__name__, error.args)
        sys.stdout.write("cmp(%r, %r) [%s] -> %s\n" % (a, b, what, result))

    names = [b"bob", b"Alice", b"carol", b"alice", b"Bob"]
    records = [parcel.pack((n, i)) for i, n in enumerate(names)]
    for func in [ordinex.cmp, ordinex.case_cmp]:
        ordered = [parcel.unpack(p) for p in sorted(records, key=key_from_cmp(func))]
        sys.stdout.write("sorted(records, key=<from ordinex.%s>): %r\n" % (func.__name__, ordered))
    # The same orders without a Python call per comparison: the native sort,
    # and keys for sorted(), min(), max(), heapq and bisect.
    for label, ordered in [
            ("ordinex.sort(records)", ordinex.sort(records)),
            ("ordinex.case_sort(records, reverse=True)", ordinex.case_sort(records, reverse=True)),
            ("sorted(records, key=ordinex.sort_key)", sorted(records, key=ordinex.sort_key)),
            ("[min(records, key=ordinex.case_sort_key)]", [min(records, key=ordinex.case_sort_key)])]:
        sys.stdout.write("%s: %r\n" % (label, [parcel.unpack(p) for p in ordered]))

    sys.stdout.write("\n")
    rng = random.Random(5)
    many = [parcel.pack((("user%d@example.com" % rng.randint(0, 999)).encode("ascii"),
                         rng.randint(0, 9)))
            for _ in range(2000)]
    baselines = [("sorted(..., key=<from ordinex.cmp>)",
                  partial(sorted, many, key=key_from_cmp(ordinex.cmp))),
                 ("sorted(..., key=<from decode-then-compare>)",
                  partial(sorted, many, key=key_from_cmp(decode_then_cmp))),
                 ("sorted(..., key=unpack)", partial(sorted, many, key=parcel.unpack))]
    compare("ordinex.sort(2000 records)", partial(ordinex.sort, many), baselines, number=3)
    compare("sorted(2000 records, key=ordinex.sort_key)",
            partial(sorted, many, key=ordinex.sort_key), baselines[:1] + baselines[2:], number=3)
    long_list = parcel.pack(list(range(1000)))
    other_list = parcel.pack([-1] + list(range(1, 1000)))
    for label, a, b in [("(str, int) records", records[1], records[3]),
                        ("1000-int lists, first differs", long_list, other_list)]:
        compare("ordinex.cmp: " + label, partial(ordinex.cmp, a, b),
                [("decode, then compare", partial(decode_then_cmp, a, b))], number=2000)


if __name__ == "__main__":
    tour()

"""orvex.ordinex: two parcel strings in the interpreter's order of their
values, straight from their bytes."""
import random
import sys
from functools import partial

from benchlib import compare, heading
from orvex import ordinex, parcel

PAIRS = [
    (1, 2),
    (True, 1.0),
    ("ABC", "abc"),
    ("ABD", "abc"),
    (("alice", 7), ("alice", 9)),
    (["Mail", ("From", 25)], ["mail", ("from", 25)]),
    ({"K": 1}, {"k": 1}),
    ("a string", (1,)),
    (2 ** 53 + 1, float(2 ** 53)),
]


def decode_then_cmp(a, b):
    return cmp(parcel.unpack(a), parcel.unpack(b))


def tour():
    heading("orvex.ordinex")
    sys.stdout.write("%-26s %-26s %5s %9s %10s\n" % ("a", "b", "cmp", "case_cmp", "cmp(a, b)"))
    for a, b in PAIRS:
        pa, pb = parcel.pack(a), parcel.pack(b)
        sys.stdout.write("%-26r %-26r %5d %9d %10d\n"
                         % (a, b, ordinex.cmp(pa, pb), ordinex.case_cmp(pa, pb), cmp(a, b)))
    sys.stdout.write("(case_cmp folds letters except inside dicts; a long meeting a float is\n"
                     " compared as a double, so 2**53 + 1 equals 2.0**53 here)\n")

    for a, b, what in [("\xff", "N", "unknown code, None on the right"),
                       ("\xff", "i\x01", "unknown code on the left"),
                       ("s\x01a", "\xff", "unknown code after a string"),
                       ("s\x05ab", "s\x01a", "a cut string")]:
        try:
            result = repr(ordinex.cmp(a, b))
        except Exception:
            error = sys.exc_info()[1]
            result = "%s%r" % (type(error).__name__, error.args)
        sys.stdout.write("cmp(%r, %r) [%s] -> %s\n" % (a, b, what, result))

    names = ["bob", "Alice", "carol", "alice", "Bob"]
    records = [parcel.pack((n, i)) for i, n in enumerate(names)]
    for func in [ordinex.cmp, ordinex.case_cmp]:
        ordered = [parcel.unpack(p) for p in sorted(records, cmp=func)]
        sys.stdout.write("sorted(records, cmp=ordinex.%s): %r\n" % (func.__name__, ordered))
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
    many = [parcel.pack(("user%d@example.com" % rng.randint(0, 999), rng.randint(0, 9)))
            for _ in range(2000)]
    baselines = [("sorted(..., cmp=ordinex.cmp)", partial(sorted, many, cmp=ordinex.cmp)),
                 ("sorted(..., cmp=decode-then-compare)", partial(sorted, many, cmp=decode_then_cmp)),
                 ("sorted(..., key=unpack)", partial(sorted, many, key=parcel.unpack))]
    compare("ordinex.sort(2000 records)", partial(ordinex.sort, many), baselines, number=3)
    compare("sorted(2000 records, key=ordinex.sort_key)",
            partial(sorted, many, key=ordinex.sort_key), baselines[:1] + baselines[2:], number=3)
    long_list = parcel.pack(range(1000))
    other_list = parcel.pack([-1] + range(1, 1000))
    for label, a, b in [("(str, int) records", records[1], records[3]),
                        ("1000-int lists, first differs", long_list, other_list)]:
        compare("ordinex.cmp: " + label, partial(ordinex.cmp, a, b),
                [("cmp(unpack(a), unpack(b))", partial(decode_then_cmp, a, b))], number=2000)


if __name__ == "__main__":
    tour()
